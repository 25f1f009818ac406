#include "DDSRecord.h"

#include <algorithm>
#include <cstring>

uint16_t ReadU16LE(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

void WriteU16LE(uint8_t *bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

uint32_t ReadU32LE(const uint8_t *bytes) {
    return uint32_t{bytes[0]} | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) | (uint32_t{bytes[3]} << 24);
}

void WriteU32LE(uint8_t *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

float ReadFloat32LE(const uint8_t *bytes) {
    const uint32_t bits = ReadU32LE(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void WriteFloat32LE(uint8_t *bytes, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    WriteU32LE(bytes, bits);
}

bool SetDDSText(uint8_t *field, size_t width, const char *text) {
    if (text == nullptr)
        return false;
    size_t i = 0;
    for (; i < width && text[i] != '\0'; ++i)
        field[i] = static_cast<uint8_t>(text[i]);
    std::memset(field + i, 0, width - i);
    return true;
}

bool GetDDSText(const uint8_t *field, size_t width, char *buffer, uint16_t length) {
    if (buffer == nullptr || length == 0)
        return false;
    // The field may be full and so unterminated: never read past its width.
    const size_t textLength = std::find(field, field + width, uint8_t{0}) - field;
    const size_t copied = std::min<size_t>(textLength, length - 1u);
    std::memcpy(buffer, field, copied);
    std::memset(buffer + copied, 0, length - copied);
    return true;
}

DDSRecord DDSRecord::FromBytes(const uint8_t *source) {
    DDSRecord record;
    std::memcpy(record.bytes, source, kDDSRecordSize);
    return record;
}

void DDSRecord::CopyTo(uint8_t *destination) const {
    std::memcpy(destination, bytes, kDDSRecordSize);
}

uint8_t ComputeChecksum(const uint8_t *bytes) {
    uint8_t sum = 0;
    for (size_t i = 0; i < DDSOffset::Checksum; ++i)
        sum ^= bytes[i];
    return sum;
}

DDSRecord MakeFreshRecord() {
    DDSRecord record{};
    record.SetFloat32(DDSOffset::MinSamplePeriod, 0.001f);
    record.SetFloat32(DDSOffset::TypSamplePeriod, 0.001f);
    record.SetU8(DDSOffset::OperationType, 14);
    record.SetU8(DDSOffset::CalibrationEquation, 1);
    record.SetFloat32(DDSOffset::YminValue, 0.0f);
    record.SetFloat32(DDSOffset::YmaxValue, 1000.0f);
    const DDSFieldInfo &units = FieldInfo(DDSCalPageField::Units);
    for (size_t page = 0; page < kDDSCalPageCount; ++page) {
        record.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K0), 0.0f);
        record.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K1), 1.0f);
        record.SetFloat32(CalPageFieldOffset(page, DDSCalPageField::K2), 0.0f);
        record.SetText(CalPageFieldOffset(page, DDSCalPageField::Units), units.width, "Volts");
    }
    record.SetU8(DDSOffset::Checksum, ComputeChecksum(record));
    return record;
}

namespace {
// Rewrites the little-endian value at `offset` in the host's byte order.
template <typename Word, Word (*ReadLE)(const uint8_t *)> void ToHostOrder(DDSRecord &record, size_t offset) {
    const Word value = ReadLE(record.bytes + offset);
    std::memcpy(record.bytes + offset, &value, sizeof value);
}

constexpr size_t kDeviceOrderWords[] = {DDSOffset::MinSamplePeriod, DDSOffset::TypSamplePeriod, DDSOffset::YminValue,
                                        DDSOffset::YmaxValue};
constexpr size_t kDeviceOrderHalfWords[] = {DDSOffset::TypNumberofSamples, DDSOffset::WarmUpTime};
constexpr DDSCalPageField kDeviceOrderPageWords[] = {DDSCalPageField::K0, DDSCalPageField::K1, DDSCalPageField::K2};
} // namespace

void ConvertFromDeviceOrder(DDSRecord &record) {
    constexpr uint8_t kLastPage = kDDSCalPageCount - 1;
    if (record.U8(DDSOffset::HighestValidCalPageIndex) > kLastPage)
        record.SetU8(DDSOffset::HighestValidCalPageIndex, kLastPage);
    for (size_t offset : kDeviceOrderWords)
        ToHostOrder<uint32_t, ReadU32LE>(record, offset);
    for (size_t offset : kDeviceOrderHalfWords)
        ToHostOrder<uint16_t, ReadU16LE>(record, offset);
    const size_t lastPage = record.U8(DDSOffset::HighestValidCalPageIndex);
    for (size_t page = 0; page <= lastPage; ++page)
        for (DDSCalPageField field : kDeviceOrderPageWords)
            ToHostOrder<uint32_t, ReadU32LE>(record, CalPageFieldOffset(page, field));
}
