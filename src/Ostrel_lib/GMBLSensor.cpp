#include "GMBLSensor.h"

#include "GUtils.h"

#include <sstream>
#include <string>

static const wchar_t kTraceModule[] = L"GMBLSensor.cpp";

namespace {
constexpr uint8_t kLastCalPage = kDDSCalPageCount - 1;

uint8_t ReverseBits(uint8_t value) {
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (value & (1u << bit))
            reversed |= static_cast<uint8_t>(0x80u >> bit);
    return reversed;
}

bool AllBytesEqual(const uint8_t *bytes) {
    for (size_t i = 1; i < kDDSRecordSize; ++i)
        if (bytes[i] != bytes[0])
            return false;
    return true;
}

// Two BCD numbers: 00 to 99, then 00 to 59.
bool IsPlausibleLotCode(const uint8_t *bytes) {
    const uint8_t first = bytes[DDSOffset::LotCode];
    const uint8_t second = bytes[DDSOffset::LotCode + 1];
    return (first >> 4) <= 9 && (first & 0x0F) <= 9 && (second >> 4) <= 5 && (second & 0x0F) <= 9;
}

bool ChecksumTestPasses(const uint8_t *bytes, uint8_t computed, bool strict) {
    const uint8_t stored = bytes[DDSOffset::Checksum];
    const bool distinctBytes = !AllBytesEqual(bytes);
    if (strict)
        return distinctBytes && stored == computed;
    // Some sensors were programmed with a complemented or bit-reversed sum.
    const bool anyMatch =
        stored == computed || stored == static_cast<uint8_t>(~computed) || stored == ReverseBits(computed);
    return (distinctBytes && anyMatch) || IsPlausibleLotCode(bytes);
}

// The messages are 8-bit text; the trace is wide. Each byte becomes one
// character.
void TraceNarrow(int line, const std::string &text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    TraceIfEnabled(wide, kTraceModule, line);
}

std::string ChecksumMessage(uint8_t computed, uint8_t stored) {
    std::ostringstream text;
    text << std::hex << "DDS CHECKSUM FAILED\n"
         << "my checksum value : 0x" << unsigned{computed} << "\n"
         << "Sensors's checksum value : 0x" << unsigned{stored} << "\n";
    return text.str();
}

std::string PageIndexMessage(uint8_t highest) {
    std::ostringstream text;
    text << "DDS ERROR: HighestValidCalPageIndex = " << unsigned{highest} << "\n";
    return text.str();
}

std::string ActivePageMessage(uint8_t highest, uint8_t active) {
    std::ostringstream text;
    text << "DDS ERROR: HighestValidCalPageIndex = " << unsigned{highest} << " ; ActiveCalPage = " << unsigned{active}
         << "\n";
    return text.str();
}
} // namespace

bool VerifyRecord(const uint8_t *bytes, bool strict) {
    if (bytes == nullptr)
        return false;
    const uint8_t computed = ComputeChecksum(bytes);
    if (!ChecksumTestPasses(bytes, computed, strict)) {
        if (IsTraceEnabled())
            TraceNarrow(__LINE__, ChecksumMessage(computed, bytes[DDSOffset::Checksum]));
        return false;
    }
    const uint8_t highest = bytes[DDSOffset::HighestValidCalPageIndex];
    if (highest > kLastCalPage) {
        if (IsTraceEnabled())
            TraceNarrow(__LINE__, PageIndexMessage(highest));
        return false;
    }
    const uint8_t active = bytes[DDSOffset::ActiveCalPage];
    if (active > highest) {
        if (IsTraceEnabled())
            TraceNarrow(__LINE__, ActivePageMessage(highest, active));
        return false;
    }
    return true;
}

GMBLSensor::GMBLSensor() : m_record(MakeFreshRecord()) {}

GMBLSensor::~GMBLSensor() = default;

bool GMBLSensor::StoreRecord(const uint8_t *bytes, bool fromDevice) {
    if (bytes == nullptr)
        return false;
    m_record = DDSRecord::FromBytes(bytes);
    if (fromDevice)
        ConvertFromDeviceOrder(m_record);
    return true;
}

size_t GMBLSensor::CalibrationPage() const {
    const uint8_t active = m_record.U8(DDSOffset::ActiveCalPage);
    const uint8_t highest = m_record.U8(DDSOffset::HighestValidCalPageIndex);
    // Host-set fields may name a page the record does not have: stay inside.
    if (active > highest || active > kLastCalPage)
        return 0;
    return active;
}

double GMBLSensor::Calibrate(double volts) const {
    if (m_record.U8(DDSOffset::CalibrationEquation) != kLinearCalibrationEquation)
        return volts;
    const size_t page = CalibrationPage();
    const double k0 = m_record.Float32(CalPageFieldOffset(page, DDSCalPageField::K0));
    const double k1 = m_record.Float32(CalPageFieldOffset(page, DDSCalPageField::K1));
    return volts * k1 + k0;
}

GMBLSensor *SensorAt(SensorTable &table, int channel) {
    if (channel < 0 || static_cast<size_t>(channel) >= table.size())
        return nullptr;
    return &table[static_cast<size_t>(channel)];
}

const GMBLSensor *SensorAt(const SensorTable &table, int channel) {
    return SensorAt(const_cast<SensorTable &>(table), channel);
}
