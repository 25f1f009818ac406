// ostrel demo: the tour a new user runs first. It finds the units, shows the
// first one's data sheets, streams every sensor channel for a few seconds and
// leaves a CSV file and an SVG chart in a folder it names at the end.
#include "CommandTable.h"
#include "NumberText.h"
#include "StreamRunner.h"
#include "UnitInfo.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace ostrel_tool {

namespace {

struct DemoOptions {
    std::string out = "ostrel-demo";
    double seconds = 3.0;
};

void Heading(const std::string &text) {
    std::printf("\n=== %s\n", text.c_str());
    std::fflush(stdout);
}

Outcome RunDemo(const GlobalOptions &global, const DemoOptions &options) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(options.out, ec);
    if (ec)
        return Failure{ExitCode::Failure, "cannot create the folder " + options.out + ": " + ec.message()};
    const fs::path folder = fs::absolute(options.out, ec);
    const std::string csvPath = (fs::path(options.out) / "stream.csv").string();
    const std::string svgPath = (fs::path(options.out) / "stream.svg").string();

    short major = 0;
    short minor = 0;
    Ostrel_GetDLLVersion(nullptr, &major, &minor);
    std::printf("ostrel demo: a host on Ostrel_lib %d.%d, through its exported C interface only\n", major, minor);

    LibrarySession session(global);
    if (Outcome failed = session.Start())
        return failed;

    Heading("ostrel list: search for units");
    std::vector<UnitEntry> units;
    if (Outcome failed = session.Search(units))
        return failed;
    if (units.empty())
        return Failure{ExitCode::UnitNotFound, "the search found no unit: is a unit on and in reach (or the "
                                               "simulated shim on the library path)?"};
    for (const UnitEntry &unit : units)
        std::printf("  %-12s %s\n", unit.name.c_str(), StatusText(unit.status).c_str());

    const std::string name = units.front().name;
    Heading("ostrel info " + name + ": open the unit, read its data sheets");
    if (Outcome failed = session.OpenUnit(name))
        return failed;
    if (Outcome failed = PrintUnitInfo(session.Device(), name))
        return failed;

    Heading("ostrel stream " + name + " --duration " + ShortNumber(options.seconds) + " --csv " + csvPath + " --svg " +
            svgPath);
    std::printf("(every channel, calibrated; a row every 0.25 s shown here, every sample in the files)\n");
    StreamSettings settings;
    settings.channels = {3, 4, 5, 6, 7};
    settings.duration = options.seconds;
    settings.csvPath = csvPath;
    settings.svgPath = svgPath;
    settings.printInterval = 0.25;
    settings.unitName = name;
    StreamResult result;
    if (Outcome failed = RunStream(session, settings, result))
        return failed;
    if (Outcome failed = session.CloseUnit())
        return failed;

    Heading("done");
    std::printf("%llu samples of each channel, one every %s s; unit %s stopped and closed\n",
                static_cast<unsigned long long>(result.samples.empty() ? 0 : result.samples.front()),
                ShortNumber(result.period).c_str(), name.c_str());
    std::printf("Output folder: %s\n", folder.string().c_str());
    std::printf("  stream.csv  %llu rows and a header line\n", static_cast<unsigned long long>(result.rows));
    std::printf("  stream.svg  one chart per channel (open it in a browser)\n");
    return std::nullopt;
}

} // namespace

void AddDemoCommand(CLI::App &app, CommandTable &table) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App *demo = app.add_subcommand("demo", "The tour: list, info of the first unit, a stream of every channel, "
                                                "and a CSV file and SVG chart written to a folder");
    demo->add_option("--out", options->out, "Folder for stream.csv and stream.svg")->capture_default_str();
    demo->add_option("--seconds", options->seconds, "Length of the stream")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    table.Add(demo, [options](const GlobalOptions &global) { return RunDemo(global, *options); });
}

} // namespace ostrel_tool
