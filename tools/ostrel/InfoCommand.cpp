// ostrel info NAME: the unit's period, memory and sensor data sheets.
#include "CommandTable.h"
#include "UnitInfo.h"

#include <memory>
#include <string>

namespace ostrel_tool {

void AddInfoCommand(CLI::App &app, CommandTable &table) {
    auto name = std::make_shared<std::string>();
    CLI::App *info = app.add_subcommand("info", "Open a unit and show its measurement period, memory blocks and, "
                                                "for each sensor channel 3-7, its data sheet summary");
    info->add_option("NAME", *name, "The unit's name, as `ostrel list` shows it")->required();
    table.Add(info, [name](const GlobalOptions &global) -> Outcome {
        LibrarySession session(global);
        if (Outcome failed = session.Start())
            return failed;
        if (Outcome failed = session.OpenUnit(*name))
            return failed;
        if (Outcome failed = PrintUnitInfo(session.Device(), *name))
            return failed;
        return session.CloseUnit();
    });
}

} // namespace ostrel_tool
