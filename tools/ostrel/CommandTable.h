// The commands the program knows: each one's CLI11 subcommand and what runs
// when the command line chose it.
#pragma once

#include "Failure.h"
#include "LibrarySession.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <vector>

namespace ostrel_tool {

using CommandRunner = std::function<Outcome(const GlobalOptions &)>;

struct CommandEntry {
    CLI::App *command;
    CommandRunner run;
};

class CommandTable {
  public:
    void Add(CLI::App *command, CommandRunner run) { m_entries.push_back(CommandEntry{command, std::move(run)}); }
    // The command the last parse chose, or null.
    const CommandEntry *Chosen() const {
        for (const CommandEntry &entry : m_entries)
            if (entry.command->parsed())
                return &entry;
        return nullptr;
    }

  private:
    std::vector<CommandEntry> m_entries;
};

// One per command, each in its own file.
void AddListCommand(CLI::App &app, CommandTable &table);
void AddInfoCommand(CLI::App &app, CommandTable &table);
void AddStreamCommand(CLI::App &app, CommandTable &table);
void AddDdsCommand(CLI::App &app, CommandTable &table);
void AddNvCommand(CLI::App &app, CommandTable &table);
void AddCmdCommand(CLI::App &app, CommandTable &table);
void AddDemoCommand(CLI::App &app, CommandTable &table);

} // namespace ostrel_tool
