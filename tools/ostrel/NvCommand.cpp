// ostrel nv NAME read|write: the unit's non-volatile memory blocks.
#include "CommandTable.h"
#include "HexCodec.h"
#include "NumberText.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace ostrel_tool {

namespace {

struct NvOptions {
    std::string name;
    std::string block = "-1";
    std::string address = "0";
    std::string count;
    std::vector<std::string> data;
    unsigned timeoutMs = 5000;
};

std::string HexAddress(int32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(address));
    return text;
}

// The block, address and count checked against the block's range on the unit.
Outcome CheckSpan(OstrelDevice device, int32_t block, int32_t address, int32_t count) {
    int first = 0;
    int last = 0;
    const int result = Ostrel_Device_NVMemBlk_GetAddrRange(device, block, &first, &last);
    if (result != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_Device_NVMemBlk_GetAddrRange(block " + std::to_string(block) + ")",
                          "returned " + std::to_string(result), "");
    if (last <= first)
        return UsageError("block " + std::to_string(block) +
                          " is not a memory block of this unit (use -1 for its "
                          "memory, 1-7 for the sensors' data sheets)");
    if (address < first || static_cast<int64_t>(address) + count - 1 > last)
        return UsageError(std::to_string(count) + " bytes from address " + HexAddress(address) + " do not fit block " +
                          std::to_string(block) + " (" + HexAddress(first) + "-" + HexAddress(last) + ")");
    return std::nullopt;
}

Outcome ParseCommon(const NvOptions &options, int32_t &block, int32_t &address) {
    if (!ParseBlock(options.block, block))
        return UsageError("--block: \"" + options.block + "\" is not a block (-1 for the unit's memory, or 1-7)");
    if (!ParseInteger(options.address, address) || address < 0)
        return UsageError("--address: \"" + options.address + "\" is not an address (decimal or 0x hex)");
    return std::nullopt;
}

Outcome RunRead(const GlobalOptions &global, const NvOptions &options) {
    int32_t block = 0;
    int32_t address = 0;
    int32_t count = 0;
    if (Outcome failed = ParseCommon(options, block, address))
        return failed;
    if (!ParseInteger(options.count, count) || count <= 0)
        return UsageError("--count: \"" + options.count + "\" is not a positive byte count");

    LibrarySession session(global);
    if (Outcome failed = session.Start())
        return failed;
    if (Outcome failed = session.OpenUnit(options.name))
        return failed;
    if (Outcome failed = CheckSpan(session.Device(), block, address, count))
        return failed;
    std::vector<unsigned char> bytes(static_cast<size_t>(count));
    const int result =
        Ostrel_Device_NVMemBlk_Read(session.Device(), block, bytes.data(), address, count, options.timeoutMs);
    if (result != 0)
        return CallFailed(ExitCode::DeviceIO,
                          "Ostrel_Device_NVMemBlk_Read(block " + std::to_string(block) + ", " + HexAddress(address) +
                              ", " + std::to_string(count) + " bytes)",
                          "returned " + std::to_string(result),
                          "the unit did not send them all within " + std::to_string(options.timeoutMs) +
                              " ms, or refused the read");
    std::printf("Block %d of unit %s, %d bytes from %s:\n", block, options.name.c_str(), count,
                HexAddress(address).c_str());
    std::fputs(HexDump(bytes.data(), bytes.size(), static_cast<uint32_t>(address)).c_str(), stdout);
    return session.CloseUnit();
}

Outcome RunWrite(const GlobalOptions &global, const NvOptions &options) {
    int32_t block = 0;
    int32_t address = 0;
    if (Outcome failed = ParseCommon(options, block, address))
        return failed;
    if (block != OSTREL_BLOCK_UNIT_MEMORY)
        return UsageError("--block " + options.block + ": only block -1, the unit's own memory, can be written");
    std::vector<uint8_t> bytes;
    std::string error;
    for (const std::string &text : options.data)
        if (!ParseHexBytes(text, bytes, error))
            return UsageError("HEXBYTES: " + error);
    if (bytes.empty())
        return UsageError("HEXBYTES: no bytes to write");

    LibrarySession session(global);
    if (Outcome failed = session.Start())
        return failed;
    if (Outcome failed = session.OpenUnit(options.name))
        return failed;
    const int32_t count = static_cast<int32_t>(bytes.size());
    if (Outcome failed = CheckSpan(session.Device(), block, address, count))
        return failed;
    const int result =
        Ostrel_Device_NVMemBlk_Write(session.Device(), block, bytes.data(), address, count, options.timeoutMs);
    if (result != 0)
        return CallFailed(
            ExitCode::DeviceIO,
            "Ostrel_Device_NVMemBlk_Write(block -1, " + HexAddress(address) + ", " + std::to_string(count) + " bytes)",
            "returned " + std::to_string(result),
            "the unit did not confirm the write within " + std::to_string(options.timeoutMs) + " ms, or refused it");
    std::printf("wrote %d bytes to block -1 of unit %s at %s\n", count, options.name.c_str(),
                HexAddress(address).c_str());
    return session.CloseUnit();
}

} // namespace

void AddNvCommand(CLI::App &app, CommandTable &table) {
    auto options = std::make_shared<NvOptions>();
    CLI::App *nv = app.add_subcommand("nv", "Read or write the unit's non-volatile memory");
    nv->add_option("NAME", options->name, "The unit's name, as `ostrel list` shows it")->required();
    nv->require_subcommand(1);

    CLI::App *read = nv->add_subcommand("read", "Hex dump of a memory block's bytes");
    read->add_option("--block", options->block, "-1 (also 0xFF) for the unit's memory, 1-7 for a sensor's data sheet")
        ->capture_default_str();
    read->add_option("--address", options->address, "First address (decimal or 0x hex)")->capture_default_str();
    read->add_option("--count", options->count, "Number of bytes")->required();
    read->add_option("--timeout", options->timeoutMs, "Milliseconds to wait for the unit")->capture_default_str();
    table.Add(read, [options](const GlobalOptions &global) { return RunRead(global, *options); });

    CLI::App *write = nv->add_subcommand("write", "Write bytes to the unit's memory (block -1)");
    write->add_option("--block", options->block, "Must be -1: only the unit's own memory can be written")
        ->capture_default_str();
    write->add_option("--address", options->address, "First address (decimal or 0x hex)")->capture_default_str();
    write->add_option("--timeout", options->timeoutMs, "Milliseconds to wait for the unit")->capture_default_str();
    write->add_option("HEXBYTES", options->data, "The bytes, e.g. 01 02 0a or 01020a")->required();
    table.Add(write, [options](const GlobalOptions &global) { return RunWrite(global, *options); });
}

} // namespace ostrel_tool
