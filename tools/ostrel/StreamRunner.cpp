#include "StreamRunner.h"

#include "CsvWriter.h"
#include "DataSheetReader.h"
#include "Interrupt.h"
#include "NumberText.h"
#include "ProgressLine.h"
#include "SampleAligner.h"
#include "SvgChart.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace ostrel_tool {

namespace {

constexpr int kCmdStartMeasurements = 0x18;
constexpr int kCmdStopMeasurements = 0x19;
constexpr unsigned kPeriodTimeoutMs = 2000;
constexpr int kReadChunk = 1024;
// How far a channel may fall behind the others before its cells are given up:
// well past any delay between the channels of one unit's blobs.
constexpr size_t kMaxLagSamples = 4000;
// The loop's pace: the channel buffers hold 40000 samples, so reading every
// 20 ms keeps far ahead of even the fastest period.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Time allowed beyond the stream's own length before missing samples count
// as a failure, and before a stream without any sample is given up: generous,
// for loaded machines and emulated runs.
constexpr double kGraceSeconds = 10.0;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Column {
    int channel;
    std::string label; // "Temp (degC)"
    std::string longName;
    uint64_t count = 0;     // samples taken in the run
    uint64_t inSegment = 0; // of them since the last start
};

class RowPrinter {
  public:
    RowPrinter(const std::vector<Column> &columns, int timeDecimals, bool raw, double interval)
        : m_timeDecimals(timeDecimals), m_raw(raw), m_interval(interval) {
        m_widths.push_back(std::max<size_t>(9, static_cast<size_t>(timeDecimals) + 7));
        for (const Column &column : columns)
            m_widths.push_back(std::max<size_t>(12, column.label.size() + 4));
        std::string header = Pad("t (s)", m_widths[0]);
        for (size_t i = 0; i < columns.size(); ++i)
            header += Pad(std::to_string(columns[i].channel) + " " + columns[i].label, m_widths[i + 1]);
        std::printf("%s\n", header.c_str());
    }

    void Print(double t, const SampleRow &row) {
        if (m_interval > 0 && row.index > 0 && t + 1e-9 < m_nextTime)
            return;
        m_nextTime = t + m_interval;
        std::string line = Pad(FixedNumber(t, m_timeDecimals), m_widths[0]);
        for (size_t i = 0; i < row.values.size(); ++i) {
            std::string cell = "-";
            if (row.values[i])
                cell = m_raw ? std::to_string(static_cast<long long>(*row.values[i])) : FixedNumber(*row.values[i], 3);
            line += Pad(cell, m_widths[i + 1]);
        }
        std::printf("%s\n", line.c_str());
    }

  private:
    static std::string Pad(const std::string &text, size_t width) {
        return text.size() >= width ? " " + text : std::string(width - text.size(), ' ') + text;
    }

    int m_timeDecimals;
    bool m_raw;
    double m_interval;
    double m_nextTime = 0;
    std::vector<size_t> m_widths;
};

std::string SecondsText(double seconds) {
    return ShortNumber(seconds) + " s";
}

// The pauses between tries to open a unit again: growing, so that a unit gone
// for long is not asked every second, and capped, so that it is found soon
// once it is back.
constexpr double kFirstPauseSeconds = 1;
constexpr double kLongestPauseSeconds = 30;
// How often a wait looks up for Ctrl-C.
constexpr auto kWaitSlice = std::chrono::milliseconds(50);

enum class SegmentEnd { Complete, Interrupted, Failed, LinkLost };
enum class ReconnectEnd { Resumed, Interrupted, TimeUp };

class StreamRun {
  public:
    StreamRun(LibrarySession &session, const StreamSettings &settings, StreamResult &result)
        : m_session(session), m_settings(settings), m_result(result) {}

    Outcome Run() {
        m_result = StreamResult{};
        if (Outcome failed = ReadColumns())
            return failed;
        if (Outcome failed = SetPeriod(m_settings.period))
            return failed;
        const double period = m_result.period;
        m_target = m_settings.duration > 0
                       ? std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(m_settings.duration / period)))
                       : 0;
        m_timeDecimals = std::max(DecimalsFor(period), 3);
        if (Outcome failed = OpenFiles())
            return failed;
        m_printer.emplace(m_columns, m_timeDecimals, m_settings.raw, m_settings.printInterval);

        Outcome failure = Measure();
        if (OstrelDevice device = m_session.Device()) {
            const int stopped = Ostrel_Device_SendCmd(device, kCmdStopMeasurements, nullptr, 0, nullptr);
            if (stopped != 0 && !failure)
                failure = CallFailed(ExitCode::DeviceIO, "Ostrel_Device_SendCmd(0x19, stop measurements)",
                                     "returned " + std::to_string(stopped), "the link to the unit failed");
        }
        return Finish(failure);
    }

  private:
    OstrelDevice Device() const { return m_session.Device(); }

    Outcome ReadColumns() {
        for (int channel : m_settings.channels) {
            DataSheetView sheet;
            if (Outcome failed = ReadDataSheet(Device(), channel, sheet))
                return failed;
            m_columns.push_back(Column{channel, ValueLabel(sheet, m_settings.raw), sheet.longName});
        }
        return std::nullopt;
    }

    // Sets the period (none: keeps the unit's) and reads back what the unit took.
    Outcome SetPeriod(std::optional<double> wanted) {
        if (wanted) {
            const int set = Ostrel_Device_SetMeasurementPeriod(Device(), *wanted, kPeriodTimeoutMs);
            if (set != 0)
                return CallFailed(ExitCode::DeviceIO,
                                  "Ostrel_Device_SetMeasurementPeriod(" + SecondsText(*wanted) + ")",
                                  "returned " + std::to_string(set), "the unit did not answer within 2000 ms");
        }
        double period = 0;
        const int got = Ostrel_Device_GetMeasurementPeriod(Device(), &period, kPeriodTimeoutMs);
        if (got != 0)
            return CallFailed(ExitCode::Failure, "Ostrel_Device_GetMeasurementPeriod",
                              "returned " + std::to_string(got), "");
        if (!(period > 0) || period >= 1000000.0)
            return CallFailed(ExitCode::DeviceIO, "Ostrel_Device_GetMeasurementPeriod", "gave no period",
                              "the unit did not answer within 2000 ms");
        if (m_result.period > 0 && period != m_result.period)
            return Failure{ExitCode::DeviceIO, "unit " + m_settings.unitName + " took a period of " +
                                                   SecondsText(period) + " instead of " + SecondsText(m_result.period)};
        m_result.period = period;
        return std::nullopt;
    }

    Outcome OpenFiles() {
        std::string error;
        if (!m_settings.csvPath.empty() && !m_csv.Open(m_settings.csvPath, error))
            return Failure{ExitCode::Failure, error};
        if (m_csv.IsOpen()) {
            std::vector<std::string> header{"time (s)"};
            for (const Column &column : m_columns)
                header.push_back(std::to_string(column.channel) + " " + column.label);
            m_csv.WriteRow(header);
        }
        m_chart.emplace("Unit " + m_settings.unitName + ": " + (m_settings.raw ? "raw readings" : "calibrated values") +
                        ", one sample every " + SecondsText(m_result.period));
        for (const Column &column : m_columns)
            m_chart->AddSeries("Channel " + std::to_string(column.channel) + ": " +
                                   (column.longName.empty() ? column.label : column.longName),
                               column.label);
        return std::nullopt;
    }

    // One row of the time axis: printed, written and drawn; a gap before it
    // first.
    void Emit(const SampleRow &row) {
        const uint64_t slot = m_offset + row.index;
        const double t = static_cast<double>(slot) * m_result.period;
        if (m_gapPending) {
            m_gapPending = false;
            m_result.gaps.emplace_back(m_lastTime, t);
            std::printf("\n");
            if (m_csv.IsOpen())
                m_csv.WriteRow({});
            m_chart->Break();
        }
        m_printer->Print(t, SampleRow{slot, row.values});
        if (m_csv.IsOpen()) {
            std::vector<std::string> fields{FixedNumber(t, m_timeDecimals)};
            for (const auto &value : row.values) {
                if (!value)
                    fields.emplace_back();
                else
                    fields.push_back(m_settings.raw ? std::to_string(static_cast<long long>(*value))
                                                    : ShortNumber(*value));
            }
            m_csv.WriteRow(fields);
        }
        for (size_t i = 0; i < row.values.size(); ++i)
            if (row.values[i])
                m_chart->Add(i, t, *row.values[i]);
        m_lastTime = t;
        m_nextSlot = slot + 1;
        ++m_result.rows;
    }

    double RunSeconds() const { return SecondsSince(m_runStart); }

    // Starts the unit; the samples of this start go on the time axis from now.
    bool StartSegment() {
        // Anything buffered before the start belongs to no stream of ours.
        Ostrel_Device_ClearIO(Device(), -1);
        if (!m_started) {
            m_started = true;
            m_runStart = Clock::now();
        }
        // To the period: the time axis stays a row every period, with whole
        // periods missing at a gap.
        m_offset = std::max(static_cast<uint64_t>(std::llround(RunSeconds() / m_result.period)), m_nextSlot);
        for (Column &column : m_columns)
            column.inSegment = 0;
        m_aligner.emplace(m_columns.size(), kMaxLagSamples, [this](const SampleRow &row) { Emit(row); });
        return Ostrel_Device_SendCmd(Device(), kCmdStartMeasurements, nullptr, 0, nullptr) == 0;
    }

    bool Wanted(const Column &column) const { return m_target == 0 || m_offset + column.inSegment < m_target; }

    // Moves what the library buffered into the rows; false on a failed read.
    bool ReadAvailable(uint64_t &moved) {
        std::vector<int> raw(kReadChunk);
        for (size_t k = 0; k < m_columns.size(); ++k) {
            Column &column = m_columns[k];
            int n;
            do {
                n = Ostrel_Device_ReadRawMeasurements(Device(), column.channel, raw.data(), kReadChunk);
                if (n < 0) {
                    m_failure =
                        CallFailed(ExitCode::DeviceIO,
                                   "Ostrel_Device_ReadRawMeasurements(channel " + std::to_string(column.channel) + ")",
                                   "returned " + std::to_string(n), "");
                    return false;
                }
                for (int i = 0; i < n && Wanted(column); ++i) {
                    ++column.count;
                    ++column.inSegment;
                    ++moved;
                    const int value = raw[static_cast<size_t>(i)];
                    m_aligner->Add(k, m_settings.raw ? static_cast<double>(value)
                                                     : Ostrel_Device_CalibrateData2(Device(), column.channel, value));
                }
            } while (n == kReadChunk);
        }
        return true;
    }

    // Reads one start's samples until the run is complete, Ctrl-C, a failure
    // or a lost link (what was seen in m_lost).
    SegmentEnd ReadSegment() {
        const Clock::time_point start = Clock::now();
        LinkWatch watch(m_result.period, m_settings.silencePeriods);
        uint64_t total = 0;
        for (;;) {
            std::this_thread::sleep_for(kPollInterval);
            uint64_t moved = 0;
            const bool read = ReadAvailable(moved);
            std::fflush(stdout);
            if (!read)
                return SegmentEnd::Failed;
            total += moved;
            const bool complete = m_target != 0 && std::none_of(m_columns.begin(), m_columns.end(),
                                                                [&](const Column &c) { return Wanted(c); });
            if (complete)
                return SegmentEnd::Complete;
            if (InterruptRequested())
                return SegmentEnd::Interrupted;
            if (moved > 0) {
                watch.Alive();
            } else if (std::optional<std::string> lost = watch.Check(Device())) {
                m_lost = *lost;
                return SegmentEnd::LinkLost;
            }
            if (total == 0 && SecondsSince(start) > kGraceSeconds) {
                m_failure = Failure{ExitCode::DeviceIO, "no measurements arrived within " + SecondsText(kGraceSeconds) +
                                                            " of the start command: the unit is not sending"};
                return SegmentEnd::Failed;
            }
            if (m_target != 0 && RunSeconds() > m_settings.duration + kGraceSeconds) {
                for (const Column &column : m_columns) {
                    if (Wanted(column)) {
                        m_failure = Failure{
                            ExitCode::DeviceIO,
                            "channel " + std::to_string(column.channel) + " sent " + std::to_string(column.count) +
                                " samples, up to " +
                                SecondsText(static_cast<double>(m_offset + column.inSegment) * m_result.period) +
                                " of the " + SecondsText(m_settings.duration) + " asked for, within " +
                                SecondsText(std::round(RunSeconds() * 10) / 10) +
                                ": the unit stopped sending, or does not send that channel"};
                        break;
                    }
                }
                return SegmentEnd::Failed;
            }
        }
    }

    std::string LastSampleText() const {
        return m_result.rows > 0 ? "the last sample at " + FixedNumber(m_lastTime, m_timeDecimals) + " s"
                                 : "no sample yet";
    }

    // Waits up to `seconds`, ending early on Ctrl-C or the end of the time
    // axis; whether the wait ran its full length.
    bool Pause(double seconds) {
        const Clock::time_point until =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < until) {
            if (InterruptRequested() || TimeUp())
                return false;
            std::this_thread::sleep_for(kWaitSlice);
        }
        return true;
    }

    bool TimeUp() const { return m_target != 0 && RunSeconds() >= m_settings.duration; }

    // Closes the unit and opens it again until it opens and takes its period.
    ReconnectEnd Reconnect() {
        const std::string name = m_settings.unitName;
        ProgressLine progress("reconnecting to " + name, "");
        double pause = kFirstPauseSeconds;
        for (int tries = 1;; ++tries) {
            if (InterruptRequested())
                return ReconnectEnd::Interrupted;
            if (TimeUp())
                return ReconnectEnd::TimeUp;
            progress.SetLabel("reconnecting to " + name + ", try " + std::to_string(tries));
            if (m_session.ReopenUnit() && !SetPeriod(m_result.period).has_value()) {
                progress.Stop();
                std::fprintf(stderr, "unit %s: open again after %d %s; measuring again at %s s\n", name.c_str(), tries,
                             tries == 1 ? "try" : "tries", FixedNumber(RunSeconds(), m_timeDecimals).c_str());
                return ReconnectEnd::Resumed;
            }
            progress.SetLabel("reconnecting to " + name + ": try " + std::to_string(tries) + " failed, next in " +
                              SecondsText(pause));
            Pause(pause);
            pause = std::min(pause * 2, kLongestPauseSeconds);
        }
    }

    Outcome Measure() {
        InterruptGuard interrupt;
        const std::string unit = "unit " + m_settings.unitName;
        for (bool resumed = false;; resumed = true) {
            m_gapPending = resumed;
            SegmentEnd end = SegmentEnd::LinkLost;
            if (StartSegment())
                end = ReadSegment();
            else
                m_lost = "the start command could not be sent";
            m_aligner->Finish();
            std::fflush(stdout);
            switch (end) {
            case SegmentEnd::Complete:
                return std::nullopt;
            case SegmentEnd::Interrupted:
                m_result.interrupted = true;
                return std::nullopt;
            case SegmentEnd::Failed:
                return m_failure;
            case SegmentEnd::LinkLost:
                break;
            }
            const std::string lost = unit + ": link lost: " + m_lost + "; " + LastSampleText();
            if (!m_settings.reconnect)
                return Failure{ExitCode::DeviceIO, lost};
            std::fprintf(stderr, "%s; reconnecting\n", lost.c_str());
            switch (Reconnect()) {
            case ReconnectEnd::Resumed:
                break;
            case ReconnectEnd::Interrupted:
                m_result.interrupted = true;
                return std::nullopt;
            case ReconnectEnd::TimeUp:
                std::fprintf(stderr, "%s: not back before the end of the %s\n", unit.c_str(),
                             SecondsText(m_settings.duration).c_str());
                return std::nullopt;
            }
        }
    }

    Outcome Finish(Outcome failure) {
        std::fflush(stdout);
        for (const Column &column : m_columns)
            m_result.samples.push_back(column.count);
        m_result.seconds = static_cast<double>(m_nextSlot) * m_result.period;
        std::string error;
        if (!m_csv.Close(error) && !failure)
            failure = Failure{ExitCode::Failure, error};
        if (!m_settings.svgPath.empty() && !m_chart->WriteFile(m_settings.svgPath, error) && !failure)
            failure = Failure{ExitCode::Failure, error};
        return failure;
    }

    LibrarySession &m_session;
    const StreamSettings &m_settings;
    StreamResult &m_result;
    std::vector<Column> m_columns;
    uint64_t m_target = 0; // slots of the time axis asked for; 0: no end
    int m_timeDecimals = 3;
    CsvWriter m_csv;
    std::optional<SvgChart> m_chart;
    std::optional<RowPrinter> m_printer;
    std::optional<SampleAligner> m_aligner;
    bool m_started = false;
    Clock::time_point m_runStart;
    uint64_t m_offset = 0;   // slot of the current start's sample 0
    uint64_t m_nextSlot = 0; // one past the last row emitted
    double m_lastTime = 0;   // of the last row emitted
    bool m_gapPending = false;
    std::string m_lost;
    Outcome m_failure;
};

} // namespace

Outcome RunStream(LibrarySession &session, const StreamSettings &settings, StreamResult &result) {
    return StreamRun(session, settings, result).Run();
}

} // namespace ostrel_tool
