// ostrel dds NAME CHANNEL: one sensor's data sheet, field by field or as bytes.
#include "CommandTable.h"
#include "DataSheetReader.h"
#include "HexCodec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace ostrel_tool {

namespace {

constexpr size_t kRecordSize = 128;

struct DdsOptions {
    std::string name;
    int channel = 0;
    bool hex = false;
    std::string save;
};

Outcome SaveRecord(const std::string &path, const unsigned char *record) {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return Failure{ExitCode::Failure, "cannot create " + path + ": " + std::strerror(errno)};
    const bool written = std::fwrite(record, 1, kRecordSize, file) == kRecordSize;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        return Failure{ExitCode::Failure, "writing " + path + " failed: " + std::strerror(errno)};
    return std::nullopt;
}

Outcome ShowDataSheet(OstrelDevice device, const DdsOptions &options) {
    const int channel = options.channel;
    if (options.hex || !options.save.empty()) {
        unsigned char record[kRecordSize] = {};
        const int result = Ostrel_Device_DDSMem_GetRecord(device, channel, record);
        if (result != 0)
            return CallFailed(ExitCode::Failure,
                              "Ostrel_Device_DDSMem_GetRecord(channel " + std::to_string(channel) + ")",
                              "returned " + std::to_string(result), "");
        if (options.hex) {
            std::printf("Channel %d data sheet of unit %s, %zu bytes:\n", channel, options.name.c_str(), kRecordSize);
            std::fputs(HexDump(record, kRecordSize).c_str(), stdout);
        }
        if (!options.save.empty()) {
            if (Outcome failed = SaveRecord(options.save, record))
                return failed;
            std::fprintf(stderr, "wrote the %zu bytes to %s\n", kRecordSize, options.save.c_str());
        }
    }
    if (!options.hex) {
        DataSheetView sheet;
        if (Outcome failed = ReadDataSheet(device, channel, sheet))
            return failed;
        std::printf("Channel %d data sheet of unit %s:\n", channel, options.name.c_str());
        for (const auto &field : FieldLines(sheet))
            std::printf("  %-25s %s\n", field.first.c_str(), field.second.c_str());
    }
    return std::nullopt;
}

} // namespace

void AddDdsCommand(CLI::App &app, CommandTable &table) {
    auto options = std::make_shared<DdsOptions>();
    CLI::App *dds = app.add_subcommand("dds", "Show every field of a sensor's data sheet (DDS), or its 128 bytes");
    dds->add_option("NAME", options->name, "The unit's name, as `ostrel list` shows it")->required();
    dds->add_option("CHANNEL", options->channel, "Sensor channel, 3-7")->required()->check(CLI::Range(3, 7));
    dds->add_flag("--hex", options->hex, "Show the record's 128 bytes as a hex dump instead of its fields");
    dds->add_option("--save", options->save, "Also write the record's 128 bytes to this file");
    table.Add(dds, [options](const GlobalOptions &global) -> Outcome {
        LibrarySession session(global);
        if (Outcome failed = session.Start())
            return failed;
        if (Outcome failed = session.OpenUnit(options->name))
            return failed;
        if (Outcome failed = ShowDataSheet(session.Device(), *options))
            return failed;
        return session.CloseUnit();
    });
}

} // namespace ostrel_tool
