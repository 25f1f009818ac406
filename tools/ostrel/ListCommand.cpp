// ostrel list: search and show the units found.
#include "CommandTable.h"

#include <algorithm>
#include <cstdio>

namespace ostrel_tool {

namespace {

void PrintUnits(const std::vector<UnitEntry> &units) {
    if (units.empty()) {
        std::printf("no units found\n");
        return;
    }
    std::printf("%zu unit%s found:\n", units.size(), units.size() == 1 ? "" : "s");
    size_t width = 4;
    for (const UnitEntry &unit : units)
        width = std::max(width, unit.name.size());
    std::printf("  %-*s  %s\n", static_cast<int>(width), "NAME", "STATUS");
    for (const UnitEntry &unit : units)
        std::printf("  %-*s  %s\n", static_cast<int>(width), unit.name.c_str(), StatusText(unit.status).c_str());
}

} // namespace

void AddListCommand(CLI::App &app, CommandTable &table) {
    CLI::App *list = app.add_subcommand("list", "Search for units (7.7 s, or 15 s on the Widcomm stack) and list "
                                                "them with their status");
    table.Add(list, [](const GlobalOptions &global) -> Outcome {
        LibrarySession session(global);
        if (Outcome failed = session.Start())
            return failed;
        std::vector<UnitEntry> units;
        if (Outcome failed = session.Search(units))
            return failed;
        PrintUnits(units);
        return std::nullopt;
    });
}

} // namespace ostrel_tool
