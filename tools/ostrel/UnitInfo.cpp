#include "UnitInfo.h"

#include "DataSheetReader.h"
#include "NumberText.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace ostrel_tool {

namespace {

constexpr unsigned kPeriodTimeoutMs = 2000;

struct BlockRange {
    int first;
    int last;
};

std::string HexAddress(int address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(address));
    return text;
}

std::string BlockName(int block) {
    return block == OSTREL_BLOCK_UNIT_MEMORY ? "the unit's memory" : "data sheet of channel " + std::to_string(block);
}

Outcome PrintMemory(OstrelDevice device) {
    std::printf("  memory blocks:\n");
    std::vector<int> blocks{OSTREL_BLOCK_UNIT_MEMORY};
    for (int b = 1; b <= 7; ++b)
        blocks.push_back(b);
    std::vector<BlockRange> ranges;
    for (int block : blocks) {
        BlockRange range{0, 0};
        const int result = Ostrel_Device_NVMemBlk_GetAddrRange(device, block, &range.first, &range.last);
        if (result != 0)
            return CallFailed(ExitCode::Failure,
                              "Ostrel_Device_NVMemBlk_GetAddrRange(block " + std::to_string(block) + ")",
                              "returned " + std::to_string(result), "");
        ranges.push_back(range);
    }
    // Blocks with the same range are shown together: "blocks 1-7".
    for (size_t i = 0; i < blocks.size();) {
        size_t j = i + 1;
        while (j < blocks.size() && blocks[j] == blocks[j - 1] + 1 && ranges[j].first == ranges[i].first &&
               ranges[j].last == ranges[i].last)
            ++j;
        const int size = ranges[i].last - ranges[i].first + 1;
        std::string who =
            j - i == 1 ? "block " + std::to_string(blocks[i]) + " (" + BlockName(blocks[i]) + ")"
                       : "blocks " + std::to_string(blocks[i]) + "-" + std::to_string(blocks[j - 1]) + " (data sheets)";
        std::printf("    %-40s %s-%s, %d bytes%s\n", (who + ":").c_str(), HexAddress(ranges[i].first).c_str(),
                    HexAddress(ranges[i].last).c_str(), size, j - i == 1 ? "" : " each");
        i = j;
    }
    return std::nullopt;
}

} // namespace

Outcome PrintUnitInfo(OstrelDevice device, const std::string &name) {
    std::printf("Unit %s\n", name.c_str());

    double period = 0;
    const int got = Ostrel_Device_GetMeasurementPeriod(device, &period, kPeriodTimeoutMs);
    if (got != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_Device_GetMeasurementPeriod", "returned " + std::to_string(got),
                          "");
    if (period >= 1000000.0)
        return CallFailed(ExitCode::DeviceIO, "Ostrel_Device_GetMeasurementPeriod", "gave no period",
                          "the unit did not answer within 2000 ms");
    const double tick = Ostrel_Device_GetMeasurementTick(device);
    std::printf("  measurement period: %s s (%ld ticks of %s s)\n", ShortNumber(period).c_str(),
                std::lround(period / tick), ShortNumber(tick).c_str());

    if (Outcome failed = PrintMemory(device))
        return failed;

    int first = 0;
    int last = 0;
    const int range = Ostrel_Device_GetChannelRange(device, &first, &last);
    if (range != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_Device_GetChannelRange", "returned " + std::to_string(range), "");
    for (int channel = first; channel <= last; ++channel) {
        DataSheetView sheet;
        if (Outcome failed = ReadDataSheet(device, channel, sheet))
            return failed;
        std::printf("\n  Channel %d\n", channel);
        for (const std::string &line : SummaryLines(sheet))
            std::printf("    %s\n", line.c_str());
    }
    return std::nullopt;
}

} // namespace ostrel_tool
