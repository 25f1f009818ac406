// ostrel: the command-line host of the library. It reaches the library only
// through its exported C interface (Ostrel_lib.h).
#include "CommandTable.h"
#include "Failure.h"

#include "Ostrel_lib.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

using namespace ostrel_tool;

namespace {

std::string LibraryVersion() {
    short major = -1;
    short minor = -1;
    Ostrel_GetDLLVersion(nullptr, &major, &minor);
    return std::to_string(major) + "." + std::to_string(minor);
}

// The subcommand chain the parse reached, for the usage hint: "ostrel nv read".
std::string CommandPath(const CLI::App &app) {
    std::string path = "ostrel";
    const CLI::App *current = &app;
    for (;;) {
        const CLI::App *next = nullptr;
        for (const CLI::App *sub : current->get_subcommands())
            next = sub;
        if (next == nullptr)
            return path;
        path += " " + next->get_name();
        current = next;
    }
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"ostrel: find, open and work with Pellucor sensor units (Ostrel_lib " + LibraryVersion() + ")",
                 "ostrel"};
    app.footer(ExitCodeHelp());
    app.set_version_flag("--version", "ostrel with Ostrel_lib " + LibraryVersion());
    app.require_subcommand(1);
    // Global options may come before or after the command.
    app.fallthrough();

    GlobalOptions global;
    int traceLevel = 0;
    CLI::Option *trace = app.add_option("--trace", traceLevel,
                                        "Debug trace threshold: 10 or less shows the library's trace (on standard "
                                        "error on Linux, the debugger output on Windows)");
    app.add_flag("--io-trace", global.ioTrace,
                 "When the command ends, print the raw bytes sent to and received from the unit (standard error)");

    CommandTable table;
    AddListCommand(app, table);
    AddInfoCommand(app, table);
    AddStreamCommand(app, table);
    AddDdsCommand(app, table);
    AddNvCommand(app, table);
    AddCmdCommand(app, table);
    AddDemoCommand(app, table);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::fprintf(
            stderr, "%s\n",
            FormatFailureLine(UsageError(std::string(e.what()) + " (see " + CommandPath(app) + " --help)")).c_str());
        return static_cast<int>(ExitCode::Usage);
    }
    if (trace->count() > 0)
        global.traceLevel = traceLevel;

    const CommandEntry *chosen = table.Chosen();
    if (chosen == nullptr) {
        std::fprintf(stderr, "%s\n", FormatFailureLine(UsageError("no command given (see ostrel --help)")).c_str());
        return static_cast<int>(ExitCode::Usage);
    }
    const Outcome outcome = chosen->run(global);
    std::fflush(stdout);
    if (outcome) {
        std::fprintf(stderr, "%s\n", FormatFailureLine(*outcome).c_str());
        return static_cast<int>(outcome->code);
    }
    return static_cast<int>(ExitCode::Ok);
}
