#include "Failure.h"

namespace ostrel_tool {

Failure CallFailed(ExitCode code, const std::string &call, const std::string &result, const std::string &hint) {
    std::string line = call + " " + result;
    if (!hint.empty())
        line += ": " + hint;
    return Failure{code, line};
}

Failure UsageError(const std::string &message) {
    return Failure{ExitCode::Usage, message};
}

std::string FormatFailureLine(const Failure &failure) {
    std::string line = "ostrel: " + failure.message;
    // One line, whatever the library or the system put into a hint.
    for (char &c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

std::string ExitCodeHelp() {
    return "Exit codes:\n"
           "  0  success\n"
           "  1  other failure (a file could not be written, a call was refused)\n"
           "  2  usage: bad command line\n"
           "  3  unit not found: no unit of that name in the search\n"
           "  4  device I/O failure: the unit did not answer, failed a check, stopped sending, or its link was lost\n"
           "  5  no usable Bluetooth stack";
}

} // namespace ostrel_tool
