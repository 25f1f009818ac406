// The sensor data sheet: a packed 128-byte record, little-endian on the wire.
//
// Fields are packed with no alignment (several float32 start at odd offsets),
// so every multi-byte access goes byte by byte. The field list below is the
// one description of the layout: the offset constants, the field table and
// the checks on both are generated from it.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kDDSRecordSize = 128;
constexpr size_t kDDSCalPageSize = 19;
constexpr size_t kDDSCalPageCount = 3;

enum class DDSFieldKind : uint8_t {
    U8,       // one byte
    U8Array,  // `count` bytes, always handled together
    U16,      // little-endian
    Float32,  // IEEE 754 single, little-endian
    Text,     // `width` 8-bit characters, zero-padded, unterminated when full
    CalPages, // `count` calibration pages of `width` bytes (sub-table below)
};

// X(Name, offset, width, count, kind): `width` is the size of one element in
// bytes (the character count for text), `count` the number of elements; the
// field spans width * count bytes.
#define OSTREL_DDS_FIELDS(X)                                                                                           \
    X(MemMapVersion, 0, 1, 1, U8)                                                                                      \
    X(SensorNumber, 1, 1, 1, U8)                                                                                       \
    X(SerialNumber, 2, 1, 3, U8Array)                                                                                  \
    X(LotCode, 5, 1, 2, U8Array)                                                                                       \
    X(ManufacturerID, 7, 1, 1, U8)                                                                                     \
    X(LongName, 8, 20, 1, Text)                                                                                        \
    X(ShortName, 28, 12, 1, Text)                                                                                      \
    X(Uncertainty, 40, 1, 1, U8)                                                                                       \
    X(SignificantFigures, 41, 1, 1, U8)                                                                                \
    X(CurrentRequirement, 42, 1, 1, U8)                                                                                \
    X(Averaging, 43, 1, 1, U8)                                                                                         \
    X(MinSamplePeriod, 44, 4, 1, Float32)                                                                              \
    X(TypSamplePeriod, 48, 4, 1, Float32)                                                                              \
    X(TypNumberofSamples, 52, 2, 1, U16)                                                                               \
    X(WarmUpTime, 54, 2, 1, U16)                                                                                       \
    X(ExperimentType, 56, 1, 1, U8)                                                                                    \
    X(OperationType, 57, 1, 1, U8)                                                                                     \
    X(CalibrationEquation, 58, 1, 1, U8)                                                                               \
    X(YminValue, 59, 4, 1, Float32)                                                                                    \
    X(YmaxValue, 63, 4, 1, Float32)                                                                                    \
    X(Yscale, 67, 1, 1, U8)                                                                                            \
    X(HighestValidCalPageIndex, 68, 1, 1, U8)                                                                          \
    X(ActiveCalPage, 69, 1, 1, U8)                                                                                     \
    X(CalPage, 70, 19, 3, CalPages)                                                                                    \
    X(Checksum, 127, 1, 1, U8)

// The fields of one calibration page, offsets relative to the page start;
// page p starts at DDSOffset::CalPage + kDDSCalPageSize * p.
#define OSTREL_DDS_CALPAGE_FIELDS(X)                                                                                   \
    X(K0, 0, 4, 1, Float32)                                                                                            \
    X(K1, 4, 4, 1, Float32)                                                                                            \
    X(K2, 8, 4, 1, Float32)                                                                                            \
    X(Units, 12, 7, 1, Text)

struct DDSFieldInfo {
    const char *name;
    uint8_t offset;
    uint8_t width;
    uint8_t count;
    DDSFieldKind kind;

    constexpr size_t Size() const { return size_t{width} * count; }
};

#define OSTREL_DDS_ENUM_ENTRY(name, offset, width, count, kind) name,
#define OSTREL_DDS_OFFSET_ENTRY(name, offset, width, count, kind) constexpr size_t name = offset;
#define OSTREL_DDS_TABLE_ENTRY(name, offset, width, count, kind) {#name, offset, width, count, DDSFieldKind::kind},

enum class DDSField : uint8_t { OSTREL_DDS_FIELDS(OSTREL_DDS_ENUM_ENTRY) };
enum class DDSCalPageField : uint8_t { OSTREL_DDS_CALPAGE_FIELDS(OSTREL_DDS_ENUM_ENTRY) };

namespace DDSOffset {
OSTREL_DDS_FIELDS(OSTREL_DDS_OFFSET_ENTRY)
}
namespace DDSCalPageOffset {
OSTREL_DDS_CALPAGE_FIELDS(OSTREL_DDS_OFFSET_ENTRY)
}

// Indexed by DDSField / DDSCalPageField.
inline constexpr DDSFieldInfo kDDSFields[] = {OSTREL_DDS_FIELDS(OSTREL_DDS_TABLE_ENTRY)};
inline constexpr DDSFieldInfo kDDSCalPageFields[] = {OSTREL_DDS_CALPAGE_FIELDS(OSTREL_DDS_TABLE_ENTRY)};

#undef OSTREL_DDS_ENUM_ENTRY
#undef OSTREL_DDS_OFFSET_ENTRY
#undef OSTREL_DDS_TABLE_ENTRY

constexpr size_t kDDSFieldCount = sizeof(kDDSFields) / sizeof(kDDSFields[0]);
constexpr size_t kDDSCalPageFieldCount = sizeof(kDDSCalPageFields) / sizeof(kDDSCalPageFields[0]);

constexpr const DDSFieldInfo &FieldInfo(DDSField field) {
    return kDDSFields[static_cast<size_t>(field)];
}
constexpr const DDSFieldInfo &FieldInfo(DDSCalPageField field) {
    return kDDSCalPageFields[static_cast<size_t>(field)];
}

constexpr bool IsValidCalPage(size_t page) {
    return page < kDDSCalPageCount;
}
// Record offset of a field of page `page` (0 to 2).
constexpr size_t CalPageFieldOffset(size_t page, DDSCalPageField field) {
    return DDSOffset::CalPage + kDDSCalPageSize * page + FieldInfo(field).offset;
}

namespace DDSLayoutCheck {
// True when the fields follow each other with no gap or overlap and fill `total`.
constexpr bool IsPacked(const DDSFieldInfo *fields, size_t count, size_t total) {
    size_t next = 0;
    for (size_t i = 0; i < count; ++i) {
        if (fields[i].offset != next)
            return false;
        next += fields[i].Size();
    }
    return next == total;
}
} // namespace DDSLayoutCheck

static_assert(kDDSFieldCount == 25, "the data sheet has 25 fields");
static_assert(DDSLayoutCheck::IsPacked(kDDSFields, kDDSFieldCount, kDDSRecordSize), "record fields must be packed");
static_assert(DDSLayoutCheck::IsPacked(kDDSCalPageFields, kDDSCalPageFieldCount, kDDSCalPageSize),
              "calibration page fields must be packed");
static_assert(FieldInfo(DDSField::CalPage).width == kDDSCalPageSize &&
                  FieldInfo(DDSField::CalPage).count == kDDSCalPageCount,
              "calibration pages");

// Unaligned little-endian access to raw bytes.
uint16_t ReadU16LE(const uint8_t *bytes);
void WriteU16LE(uint8_t *bytes, uint16_t value);
uint32_t ReadU32LE(const uint8_t *bytes);
void WriteU32LE(uint8_t *bytes, uint32_t value);
float ReadFloat32LE(const uint8_t *bytes);
void WriteFloat32LE(uint8_t *bytes, float value);

// Text fields. Set copies `text` up to its terminator but at most `width`
// characters and zero-fills the rest of the field; false (field unchanged)
// for a null text. Get hands out the field as a terminated text: at most
// min(width, length - 1) characters, the buffer zero-filled up to `length`;
// false (nothing written) for a null buffer or a length of 0.
bool SetDDSText(uint8_t *field, size_t width, const char *text);
bool GetDDSText(const uint8_t *field, size_t width, char *buffer, uint16_t length);

struct DDSRecord {
    uint8_t bytes[kDDSRecordSize];

    static DDSRecord FromBytes(const uint8_t *source);
    void CopyTo(uint8_t *destination) const;

    uint8_t U8(size_t offset) const { return bytes[offset]; }
    void SetU8(size_t offset, uint8_t value) { bytes[offset] = value; }
    uint16_t U16(size_t offset) const { return ReadU16LE(bytes + offset); }
    void SetU16(size_t offset, uint16_t value) { WriteU16LE(bytes + offset, value); }
    float Float32(size_t offset) const { return ReadFloat32LE(bytes + offset); }
    void SetFloat32(size_t offset, float value) { WriteFloat32LE(bytes + offset, value); }

    // Text fields by their table entry (LongName, ShortName, Units of a page
    // at `offset`).
    bool SetText(size_t offset, size_t width, const char *text) { return SetDDSText(bytes + offset, width, text); }
    bool GetText(size_t offset, size_t width, char *buffer, uint16_t length) const {
        return GetDDSText(bytes + offset, width, buffer, length);
    }
};

static_assert(sizeof(DDSRecord) == kDDSRecordSize, "DDSRecord is exactly the record's bytes");

// XOR of bytes 0 to 126; the checksum byte takes no part.
uint8_t ComputeChecksum(const uint8_t *bytes);
inline uint8_t ComputeChecksum(const DDSRecord &record) {
    return ComputeChecksum(record.bytes);
}

// The record a new sensor holds: neutral linear calibration ("Volts", K0 0,
// K1 1) on all three pages, checksum 0xDC.
DDSRecord MakeFreshRecord();

// Turns a record as read from the device (little-endian) into host order:
// the multi-byte fields and the coefficients of pages 0 to
// HighestValidCalPageIndex. An index above 2 is stored as 2 and pages 0 to 2
// are converted. On a little-endian host only that clamp changes a byte, and
// the little-endian accessors above read the result as they read any record.
void ConvertFromDeviceOrder(DDSRecord &record);
