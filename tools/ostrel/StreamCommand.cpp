// ostrel stream NAME: measure, print time-stamped values, write CSV and SVG.
#include "ChannelList.h"
#include "CommandTable.h"
#include "NumberText.h"
#include "StreamRunner.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace ostrel_tool {

namespace {

constexpr int kFirstSensorChannel = 3;
constexpr int kLastSensorChannel = 7;

struct StreamOptions {
    std::string name;
    std::string channels = "all";
    double period = 0;
    double duration = 0;
    bool raw = false;
    std::string csv;
    std::string svg;
    bool reconnect = false;
    double silence = LinkWatch::kDefaultSilencePeriods;
    CLI::Option *periodOption = nullptr;
};

void PrintSummary(const StreamSettings &settings, const StreamResult &result) {
    uint64_t fewest = result.samples.empty() ? 0 : result.samples.front();
    for (uint64_t n : result.samples)
        fewest = std::min(fewest, n);
    std::string gaps;
    if (!result.gaps.empty()) {
        double missing = 0;
        for (const auto &[before, after] : result.gaps)
            missing += after - before - result.period;
        gaps = ", " + std::to_string(result.gaps.size()) + (result.gaps.size() == 1 ? " gap" : " gaps") + " of " +
               FixedNumber(missing, 3) + " s in all";
    }
    std::fprintf(stderr, "%s after %s s: %llu samples per channel, one every %s s%s\n",
                 result.interrupted ? "interrupted" : "stopped", FixedNumber(result.seconds, 3).c_str(),
                 static_cast<unsigned long long>(fewest), ShortNumber(result.period).c_str(), gaps.c_str());
    if (!settings.csvPath.empty())
        std::fprintf(stderr, "CSV: %s (%llu rows and a header line%s)\n", settings.csvPath.c_str(),
                     static_cast<unsigned long long>(result.rows),
                     result.gaps.empty() ? "" : ", an empty row at each gap");
    if (!settings.svgPath.empty())
        std::fprintf(stderr, "SVG: %s\n", settings.svgPath.c_str());
}

} // namespace

void AddStreamCommand(CLI::App &app, CommandTable &table) {
    auto options = std::make_shared<StreamOptions>();
    CLI::App *stream = app.add_subcommand(
        "stream", "Start measurements and print time-stamped values in the sensors' units until --duration has "
                  "passed or Ctrl-C; the unit is stopped and closed either way. A lost link ends it, or with "
                  "--reconnect the unit is opened again and an empty row in the table and the CSV marks the gap");
    stream->add_option("NAME", options->name, "The unit's name, as `ostrel list` shows it")->required();
    stream->add_option("--channels", options->channels, "Sensor channels: 3,4,7 or 3-5 or all")->capture_default_str();
    options->periodOption = stream
                                ->add_option("--period", options->period,
                                             "Measurement period in seconds, 0.001-65.535 (default: "
                                             "keep the unit's)")
                                ->check(CLI::Range(0.001, 65.535));
    stream->add_option("--duration", options->duration, "Seconds to measure, gaps included (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    stream->add_flag("--raw", options->raw, "Raw readings instead of calibrated values");
    stream->add_option("--csv", options->csv,
                       "Write every sample to this CSV file (a header line, then one row "
                       "per sample)");
    stream->add_option("--svg", options->svg, "Draw one chart per channel into this SVG file");
    stream->add_flag("--reconnect", options->reconnect,
                     "When the link is lost, close the unit and open it again by name (a pause of 1 s, 2 s, 4 s... "
                     "up to 30 s between tries) with the same channels and period, and go on: the time axis keeps "
                     "running, an empty row marks the gap");
    stream
        ->add_option("--silence", options->silence,
                     "Periods without a sample after which the link is checked with a period query (at least 1 s)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);

    table.Add(stream, [options](const GlobalOptions &global) -> Outcome {
        StreamSettings settings;
        std::string error;
        if (!ParseChannelList(options->channels, kFirstSensorChannel, kLastSensorChannel, settings.channels, error))
            return UsageError("--channels: " + error);
        if (options->periodOption->count() > 0)
            settings.period = options->period;
        settings.duration = options->duration;
        settings.raw = options->raw;
        settings.csvPath = options->csv;
        settings.svgPath = options->svg;
        settings.unitName = options->name;
        settings.reconnect = options->reconnect;
        settings.silencePeriods = options->silence;

        LibrarySession session(global);
        if (Outcome failed = session.Start())
            return failed;
        if (Outcome failed = session.OpenUnit(options->name))
            return failed;
        StreamResult result;
        Outcome failed = RunStream(session, settings, result);
        if (!failed || !result.samples.empty())
            PrintSummary(settings, result);
        if (failed)
            return failed;
        return session.CloseUnit();
    });
}

} // namespace ostrel_tool
