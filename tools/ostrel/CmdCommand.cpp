// ostrel cmd NAME CODE [HEXBYTES]: one raw command and its response.
#include "CommandTable.h"
#include "HexCodec.h"
#include "NumberText.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ostrel_tool {

namespace {

constexpr size_t kMaxParameterBytes = 250;
// Big enough for the largest response a unit sends (a whole memory read).
constexpr int kResponseCapacity = 65536;

struct CmdOptions {
    std::string name;
    std::string code;
    std::vector<std::string> parameters;
    unsigned timeoutMs = 2000;
    bool noWait = false;
};

std::string CodeText(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(code) & 0xFF);
    return text;
}

void PrintBytes(const char *what, const unsigned char *bytes, size_t count) {
    if (count <= 32) {
        std::printf("%s (%zu bytes)%s%s\n", what, count, count > 0 ? ": " : "", HexBytes(bytes, count).c_str());
    } else {
        std::printf("%s (%zu bytes):\n", what, count);
        std::fputs(HexDump(bytes, count).c_str(), stdout);
    }
}

Outcome Exchange(OstrelDevice device, int code, const std::vector<uint8_t> &params, const CmdOptions &options) {
    const std::string call = "Ostrel_Device_SendCmd(" + CodeText(code) + ")";
    int signature = 0;
    const int sent = Ostrel_Device_SendCmd(device, code, params.empty() ? nullptr : params.data(),
                                           static_cast<int>(params.size()), &signature);
    if (sent != 0)
        return CallFailed(ExitCode::DeviceIO, call, "returned " + std::to_string(sent), "the link to the unit failed");
    std::printf("sent command %s with %zu parameter bytes (signature %s)\n", CodeText(code).c_str(), params.size(),
                CodeText(signature).c_str());
    if (options.noWait)
        return std::nullopt;

    // Waiting here rather than in SendCmdAndGetResponse tells a silent unit
    // from one that reported an error, and shows the error's payload.
    std::vector<unsigned char> response(kResponseCapacity);
    int size = kResponseCapacity;
    unsigned char echo = 0;
    unsigned char errorFlag = 0;
    const int got =
        Ostrel_Device_GetNextResponse(device, response.data(), &size, &echo, &errorFlag, &signature, options.timeoutMs);
    if (got != 0)
        return CallFailed(ExitCode::DeviceIO, "Ostrel_Device_GetNextResponse", "returned " + std::to_string(got),
                          "the unit did not answer within " + std::to_string(options.timeoutMs) + " ms");
    const size_t stored = size > 0 ? static_cast<size_t>(size) : 0;
    if (errorFlag != 0)
        return Failure{ExitCode::DeviceIO, "the unit reported an error for command " + CodeText(code) +
                                               (stored > 0 ? ": " + HexBytes(response.data(), stored) : "")};
    if (echo != (code & 0xFF))
        return Failure{ExitCode::DeviceIO,
                       "the response answers command " + CodeText(echo) + ", not " + CodeText(code)};
    PrintBytes("response", response.data(), stored);
    return std::nullopt;
}

} // namespace

void AddCmdCommand(CLI::App &app, CommandTable &table) {
    auto options = std::make_shared<CmdOptions>();
    CLI::App *cmd = app.add_subcommand("cmd", "Send one raw command and show its response as hex");
    cmd->add_option("NAME", options->name, "The unit's name, as `ostrel list` shows it")->required();
    cmd->add_option("CODE", options->code, "Command code, 0-255 (e.g. 0x1c: get the measurement period)")->required();
    cmd->add_option("HEXBYTES", options->parameters, "Parameter bytes, e.g. 0a 00 00 00 (at most 250)");
    cmd->add_option("--timeout", options->timeoutMs, "Milliseconds to wait for the response")->capture_default_str();
    cmd->add_flag("--no-wait", options->noWait, "Send only; do not wait for a response");
    table.Add(cmd, [options](const GlobalOptions &global) -> Outcome {
        int32_t code = 0;
        if (!ParseInteger(options->code, code) || code < 0 || code > 255)
            return UsageError("CODE: \"" + options->code + "\" is not a command code (0-255, decimal or 0x hex)");
        std::vector<uint8_t> params;
        std::string error;
        for (const std::string &text : options->parameters)
            if (!ParseHexBytes(text, params, error))
                return UsageError("HEXBYTES: " + error);
        if (params.size() > kMaxParameterBytes)
            return UsageError("HEXBYTES: " + std::to_string(params.size()) + " bytes; a command carries at most 250");

        LibrarySession session(global);
        if (Outcome failed = session.Start())
            return failed;
        if (Outcome failed = session.OpenUnit(options->name))
            return failed;
        if (Outcome failed = Exchange(session.Device(), code, params, *options))
            return failed;
        return session.CloseUnit();
    });
}

} // namespace ostrel_tool
