// How a command ends: success, or one failure with the process exit code that
// goes with it. Failures travel as values; main prints the one line.
#pragma once

#include <optional>
#include <string>

namespace ostrel_tool {

// The documented exit codes (also printed by --help).
enum class ExitCode : int {
    Ok = 0,
    Failure = 1,      // anything else: a file that cannot be written, a call the library refused
    Usage = 2,        // bad command line: unknown option, bad number, channel or hex text
    UnitNotFound = 3, // the name is not among the units the search found
    DeviceIO = 4,     // the unit did not answer, failed a check, stopped sending, or its link was lost
    NoStack = 5,      // Ostrel_Init found no usable Bluetooth stack
};

struct Failure {
    ExitCode code = ExitCode::Failure;
    std::string message; // one line, without the program name
};

// Empty on success.
using Outcome = std::optional<Failure>;

// "CALL RESULT: HINT", the shape of every failed library call's line; the hint
// may be empty.
Failure CallFailed(ExitCode code, const std::string &call, const std::string &result, const std::string &hint);
Failure UsageError(const std::string &message);

// "ostrel: " + message, as main prints it.
std::string FormatFailureLine(const Failure &failure);

// The exit codes as a short table for --help.
std::string ExitCodeHelp();

} // namespace ostrel_tool
