#include "StreamRunner.h"

#include "CsvWriter.h"
#include "DataSheetReader.h"
#include "Interrupt.h"
#include "NumberText.h"
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
// A stream whose samples stop for this many periods (and at least the grace
// time) has lost its unit: a stream without a duration would otherwise wait
// for ever, and one with a duration until its end.
constexpr double kStallPeriods = 3.0;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Column {
    int channel;
    std::string label; // "Temp (degC)"
    std::string longName;
    uint64_t count = 0;
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

} // namespace

Outcome RunStream(OstrelDevice device, const StreamSettings &settings, StreamResult &result) {
    result = StreamResult{};
    std::vector<Column> columns;
    for (int channel : settings.channels) {
        DataSheetView sheet;
        if (Outcome failed = ReadDataSheet(device, channel, sheet))
            return failed;
        columns.push_back(Column{channel, ValueLabel(sheet, settings.raw), sheet.longName});
    }

    if (settings.period) {
        const int set = Ostrel_Device_SetMeasurementPeriod(device, *settings.period, kPeriodTimeoutMs);
        if (set != 0)
            return CallFailed(ExitCode::DeviceIO,
                              "Ostrel_Device_SetMeasurementPeriod(" + SecondsText(*settings.period) + ")",
                              "returned " + std::to_string(set), "the unit did not answer within 2000 ms");
    }
    double period = 0;
    const int got = Ostrel_Device_GetMeasurementPeriod(device, &period, kPeriodTimeoutMs);
    if (got != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_Device_GetMeasurementPeriod", "returned " + std::to_string(got),
                          "");
    if (!(period > 0) || period >= 1000000.0)
        return CallFailed(ExitCode::DeviceIO, "Ostrel_Device_GetMeasurementPeriod", "gave no period",
                          "the unit did not answer within 2000 ms");
    result.period = period;

    const uint64_t target = settings.duration > 0
                                ? std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(settings.duration / period)))
                                : 0;
    const int timeDecimals = std::max(DecimalsFor(period), 3);

    CsvWriter csv;
    std::string error;
    if (!settings.csvPath.empty() && !csv.Open(settings.csvPath, error))
        return Failure{ExitCode::Failure, error};
    if (csv.IsOpen()) {
        std::vector<std::string> header{"time (s)"};
        for (const Column &column : columns)
            header.push_back(std::to_string(column.channel) + " " + column.label);
        csv.WriteRow(header);
    }

    SvgChart chart("Unit " + settings.unitName + ": " + (settings.raw ? "raw readings" : "calibrated values") +
                   ", one sample every " + SecondsText(period));
    for (size_t i = 0; i < columns.size(); ++i)
        chart.AddSeries("Channel " + std::to_string(columns[i].channel) + ": " +
                            (columns[i].longName.empty() ? columns[i].label : columns[i].longName),
                        columns[i].label);

    RowPrinter printer(columns, timeDecimals, settings.raw, settings.printInterval);
    SampleAligner aligner(columns.size(), kMaxLagSamples, [&](const SampleRow &row) {
        const double t = static_cast<double>(row.index) * period;
        printer.Print(t, row);
        if (csv.IsOpen()) {
            std::vector<std::string> fields{FixedNumber(t, timeDecimals)};
            for (const auto &value : row.values) {
                if (!value)
                    fields.emplace_back();
                else
                    fields.push_back(settings.raw ? std::to_string(static_cast<long long>(*value))
                                                  : ShortNumber(*value));
            }
            csv.WriteRow(fields);
        }
        for (size_t i = 0; i < row.values.size(); ++i)
            if (row.values[i])
                chart.Add(i, t, *row.values[i]);
        ++result.rows;
    });

    // Anything buffered before the start belongs to no stream of ours.
    Ostrel_Device_ClearIO(device, -1);
    const int started = Ostrel_Device_SendCmd(device, kCmdStartMeasurements, nullptr, 0, nullptr);
    if (started != 0)
        return CallFailed(ExitCode::DeviceIO, "Ostrel_Device_SendCmd(0x18, start measurements)",
                          "returned " + std::to_string(started), "the link to the unit failed");

    Outcome failure;
    {
        InterruptGuard interrupt;
        const Clock::time_point start = Clock::now();
        const double deadline = settings.duration + kGraceSeconds;
        const double stallSeconds = std::max(kGraceSeconds, kStallPeriods * period);
        std::vector<int> raw(kReadChunk);
        uint64_t total = 0;
        uint64_t totalBefore = 0;
        Clock::time_point lastSample = start;
        for (;;) {
            std::this_thread::sleep_for(kPollInterval);
            for (size_t k = 0; k < columns.size() && !failure; ++k) {
                Column &column = columns[k];
                int n;
                do {
                    n = Ostrel_Device_ReadRawMeasurements(device, column.channel, raw.data(), kReadChunk);
                    if (n < 0) {
                        failure = CallFailed(ExitCode::DeviceIO,
                                             "Ostrel_Device_ReadRawMeasurements(channel " +
                                                 std::to_string(column.channel) + ")",
                                             "returned " + std::to_string(n), "");
                        break;
                    }
                    for (int i = 0; i < n; ++i) {
                        if (target != 0 && column.count >= target)
                            break;
                        ++column.count;
                        ++total;
                        aligner.Add(k, settings.raw ? static_cast<double>(raw[static_cast<size_t>(i)])
                                                    : Ostrel_Device_CalibrateData2(device, column.channel,
                                                                                   raw[static_cast<size_t>(i)]));
                    }
                } while (n == kReadChunk);
            }
            std::fflush(stdout);
            if (failure)
                break;
            const bool complete = target != 0 && std::all_of(columns.begin(), columns.end(), [&](const Column &column) {
                                      return column.count >= target;
                                  });
            if (complete)
                break;
            if (InterruptRequested()) {
                result.interrupted = true;
                break;
            }
            const double elapsed = SecondsSince(start);
            if (total != totalBefore) {
                totalBefore = total;
                lastSample = Clock::now();
            } else if (total != 0 && SecondsSince(lastSample) > stallSeconds) {
                failure = Failure{ExitCode::DeviceIO, "no measurements for " + SecondsText(stallSeconds) + " after " +
                                                          std::to_string(total) +
                                                          " samples: the unit stopped sending or its link failed"};
                break;
            }
            if (total == 0 && elapsed > kGraceSeconds) {
                failure = Failure{ExitCode::DeviceIO, "no measurements arrived within " + SecondsText(kGraceSeconds) +
                                                          " of the start command: the unit is not sending"};
                break;
            }
            if (target != 0 && elapsed > deadline) {
                for (const Column &column : columns) {
                    if (column.count < target) {
                        failure = Failure{ExitCode::DeviceIO,
                                          "channel " + std::to_string(column.channel) + " sent " +
                                              std::to_string(column.count) + " of " + std::to_string(target) +
                                              " samples within " + SecondsText(std::round(elapsed * 10) / 10) +
                                              ": the unit stopped sending, or does not send that channel"};
                        break;
                    }
                }
                break;
            }
        }
    }

    const int stopped = Ostrel_Device_SendCmd(device, kCmdStopMeasurements, nullptr, 0, nullptr);
    if (stopped != 0 && !failure)
        failure = CallFailed(ExitCode::DeviceIO, "Ostrel_Device_SendCmd(0x19, stop measurements)",
                             "returned " + std::to_string(stopped), "the link to the unit failed");

    aligner.Finish();
    std::fflush(stdout);
    for (const Column &column : columns)
        result.samples.push_back(column.count);
    if (!csv.Close(error) && !failure)
        failure = Failure{ExitCode::Failure, error};
    if (!settings.svgPath.empty() && !chart.WriteFile(settings.svgPath, error) && !failure)
        failure = Failure{ExitCode::Failure, error};
    return failure;
}

} // namespace ostrel_tool
