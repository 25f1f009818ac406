// The data-sheet exports: whole records, and a Set and a Get for each field,
// generated from the record's field table. All act on the library's copy in
// the channel's sensor; only ReadRecord talks to the unit.
#include "Ostrel_lib.h"

#include "DDSRecord.h"
#include "GMBLCrashTestDummySource.h"
#include "Ostrel_lib_interface.h"

#include <array>

namespace {
constexpr int32_t kFirstSensorChannel = 3;
constexpr int32_t kLastSensorChannel = 7;

// SensorNumber values that never change OperationType, and the codes of the
// rule that links the two fields.
constexpr uint8_t kSensorNumbersKeepingOperation[] = {60, 69};
constexpr uint8_t kSensorNumberTwo = 2;
constexpr uint8_t kOperationTypeTwo = 2;
constexpr uint8_t kOperationTypeDefault = 14;

// Steps shared by every member but ReadRecord and WriteRecord: the guard, a
// host sensor channel inside the table, then work on the sensor's record.
template <typename Work> int WithRecord(OstrelDevice handle, int channel, Work &&work) {
    return Guarded(handle, [&](COstrelDevice &device) {
        const int32_t ch = LowByteSigned(channel);
        GMBLSensor *sensor = device.Sensor(ch);
        if (ch < kFirstSensorChannel || ch > kLastSensorChannel || sensor == nullptr)
            return -1;
        return work(device, sensor->Record());
    });
}

// Setters: the calibration exports read the records without the device lock
// (from any thread), so a change keeps them out while it is made.
template <typename Work> int ChangeRecord(OstrelDevice handle, int channel, Work &&work) {
    return WithRecord(handle, channel, [&](COstrelDevice &device, DDSRecord &record) {
        return LiveDevices::Changing([&] { return work(device, record); });
    });
}

constexpr size_t Offset(DDSField field) {
    return FieldInfo(field).offset;
}
constexpr size_t Width(DDSField field) {
    return FieldInfo(field).width;
}

void AdjustOperationType(DDSRecord &record) {
    const uint8_t number = record.U8(DDSOffset::SensorNumber);
    for (uint8_t keep : kSensorNumbersKeepingOperation)
        if (number == keep)
            return;
    const uint8_t operation = record.U8(DDSOffset::OperationType);
    if (number == kSensorNumberTwo && operation != kOperationTypeTwo)
        record.SetU8(DDSOffset::OperationType, kOperationTypeTwo);
    else if (number != kSensorNumberTwo && operation == kOperationTypeTwo)
        record.SetU8(DDSOffset::OperationType, kOperationTypeDefault);
}

template <DDSField F> int SetU8(OstrelDevice handle, int channel, int value) {
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        record.SetU8(Offset(F), static_cast<uint8_t>(value));
        if constexpr (F == DDSField::SensorNumber)
            AdjustOperationType(record);
        return 0;
    });
}

template <DDSField F> int GetU8(OstrelDevice handle, int channel, unsigned char *value) {
    if (value == nullptr)
        return -1;
    if constexpr (F == DDSField::SensorNumber)
        *value = 0;
    return WithRecord(handle, channel, [&](COstrelDevice &device, DDSRecord &record) {
        if constexpr (F == DDSField::SensorNumber) {
            if (!device.m_source || device.m_deviceType != kDeviceTypeCode)
                return -1;
        }
        *value = record.U8(Offset(F));
        return 0;
    });
}

template <DDSField F> int SetU16(OstrelDevice handle, int channel, int value) {
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        record.SetU16(Offset(F), static_cast<uint16_t>(value));
        return 0;
    });
}

template <DDSField F> int GetU16(OstrelDevice handle, int channel, unsigned short *value) {
    if (value == nullptr)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        *value = record.U16(Offset(F));
        return 0;
    });
}

template <DDSField F> int SetFloat32(OstrelDevice handle, int channel, float value) {
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        record.SetFloat32(Offset(F), value);
        return 0;
    });
}

template <DDSField F> int GetFloat32(OstrelDevice handle, int channel, float *value) {
    if (value == nullptr)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        *value = record.Float32(Offset(F));
        return 0;
    });
}

template <DDSField F> int SetText(OstrelDevice handle, int channel, const char *text) {
    if (text == nullptr)
        return -1;
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        return record.SetText(Offset(F), Width(F), text) ? 0 : -1;
    });
}

template <DDSField F> int GetText(OstrelDevice handle, int channel, char *buffer, unsigned short length) {
    if (buffer == nullptr || length == 0)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        return record.GetText(Offset(F), Width(F), buffer, length) ? 0 : -1;
    });
}

// Fields of several bytes that always travel together (serial, lot code).
template <DDSField F, size_t N> int SetBytes(OstrelDevice handle, int channel, const std::array<int, N> &values) {
    static_assert(FieldInfo(F).count == N, "one argument per byte of the field");
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        for (size_t i = 0; i < N; ++i)
            record.SetU8(Offset(F) + i, static_cast<uint8_t>(values[i]));
        return 0;
    });
}

template <DDSField F, size_t N>
int GetBytes(OstrelDevice handle, int channel, const std::array<unsigned char *, N> &outputs) {
    static_assert(FieldInfo(F).count == N, "one output per byte of the field");
    for (unsigned char *output : outputs)
        if (output == nullptr)
            return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        for (size_t i = 0; i < N; ++i)
            *outputs[i] = record.U8(Offset(F) + i);
        return 0;
    });
}

size_t PageOffset(unsigned char page, DDSCalPageField field) {
    return CalPageFieldOffset(page, field);
}
} // namespace

// The field table gives each field its pair of exports; fields whose exports
// take several values (byte groups, calibration pages) are written out below.
#define OSTREL_DDS_EXPORTS_U8(Name)                                                                                    \
    int OSTREL_CALL Ostrel_Device_DDSMem_Set##Name(OstrelDevice handle, int channel, int value) {                      \
        return SetU8<DDSField::Name>(handle, channel, value);                                                          \
    }                                                                                                                  \
    int OSTREL_CALL Ostrel_Device_DDSMem_Get##Name(OstrelDevice handle, int channel, unsigned char *value) {           \
        return GetU8<DDSField::Name>(handle, channel, value);                                                          \
    }
#define OSTREL_DDS_EXPORTS_U16(Name)                                                                                   \
    int OSTREL_CALL Ostrel_Device_DDSMem_Set##Name(OstrelDevice handle, int channel, int value) {                      \
        return SetU16<DDSField::Name>(handle, channel, value);                                                         \
    }                                                                                                                  \
    int OSTREL_CALL Ostrel_Device_DDSMem_Get##Name(OstrelDevice handle, int channel, unsigned short *value) {          \
        return GetU16<DDSField::Name>(handle, channel, value);                                                         \
    }
#define OSTREL_DDS_EXPORTS_Float32(Name)                                                                               \
    int OSTREL_CALL Ostrel_Device_DDSMem_Set##Name(OstrelDevice handle, int channel, float value) {                    \
        return SetFloat32<DDSField::Name>(handle, channel, value);                                                     \
    }                                                                                                                  \
    int OSTREL_CALL Ostrel_Device_DDSMem_Get##Name(OstrelDevice handle, int channel, float *value) {                   \
        return GetFloat32<DDSField::Name>(handle, channel, value);                                                     \
    }
#define OSTREL_DDS_EXPORTS_Text(Name)                                                                                  \
    int OSTREL_CALL Ostrel_Device_DDSMem_Set##Name(OstrelDevice handle, int channel, const char *text) {               \
        return SetText<DDSField::Name>(handle, channel, text);                                                         \
    }                                                                                                                  \
    int OSTREL_CALL Ostrel_Device_DDSMem_Get##Name(OstrelDevice handle, int channel, char *buffer,                     \
                                                   unsigned short length) {                                            \
        return GetText<DDSField::Name>(handle, channel, buffer, length);                                               \
    }
#define OSTREL_DDS_EXPORTS_U8Array(Name)
#define OSTREL_DDS_EXPORTS_CalPages(Name)
#define OSTREL_DDS_EXPORTS(Name, offset, width, count, kind) OSTREL_DDS_EXPORTS_##kind(Name)

extern "C" {

OSTREL_DDS_FIELDS(OSTREL_DDS_EXPORTS)

int OSTREL_CALL Ostrel_Device_DDSMem_SetSerialNumber(OstrelDevice handle, int channel, int byte0, int byte1,
                                                     int byte2) {
    return SetBytes<DDSField::SerialNumber, 3>(handle, channel, {byte0, byte1, byte2});
}

int OSTREL_CALL Ostrel_Device_DDSMem_GetSerialNumber(OstrelDevice handle, int channel, unsigned char *byte0,
                                                     unsigned char *byte1, unsigned char *byte2) {
    return GetBytes<DDSField::SerialNumber, 3>(handle, channel, {byte0, byte1, byte2});
}

int OSTREL_CALL Ostrel_Device_DDSMem_SetLotCode(OstrelDevice handle, int channel, int byte0, int byte1) {
    return SetBytes<DDSField::LotCode, 2>(handle, channel, {byte0, byte1});
}

int OSTREL_CALL Ostrel_Device_DDSMem_GetLotCode(OstrelDevice handle, int channel, unsigned char *byte0,
                                                unsigned char *byte1) {
    return GetBytes<DDSField::LotCode, 2>(handle, channel, {byte0, byte1});
}

int OSTREL_CALL Ostrel_Device_DDSMem_SetCalPage(OstrelDevice handle, int channel, unsigned char page, float k0,
                                                float k1, float k2, const char *units) {
    if (units == nullptr)
        return -1;
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        if (!IsValidCalPage(page))
            return -1;
        record.SetFloat32(PageOffset(page, DDSCalPageField::K0), k0);
        record.SetFloat32(PageOffset(page, DDSCalPageField::K1), k1);
        record.SetFloat32(PageOffset(page, DDSCalPageField::K2), k2);
        record.SetText(PageOffset(page, DDSCalPageField::Units), FieldInfo(DDSCalPageField::Units).width, units);
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_DDSMem_GetCalPage(OstrelDevice handle, int channel, unsigned char page, float *k0,
                                                float *k1, float *k2, char *units, unsigned short length) {
    if (k0 == nullptr || k1 == nullptr || k2 == nullptr || units == nullptr || length == 0)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &record) {
        if (!IsValidCalPage(page))
            return -1;
        record.GetText(PageOffset(page, DDSCalPageField::Units), FieldInfo(DDSCalPageField::Units).width, units,
                       length);
        *k0 = record.Float32(PageOffset(page, DDSCalPageField::K0));
        *k1 = record.Float32(PageOffset(page, DDSCalPageField::K1));
        *k2 = record.Float32(PageOffset(page, DDSCalPageField::K2));
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_DDSMem_ReadRecord(OstrelDevice handle, int channel, unsigned char strict,
                                                unsigned int timeoutMs) {
    return Guarded(handle, [&](COstrelDevice &device) {
        // Channels 0-7: the reference channels' sheets can be read too.
        const int32_t ch = LowByteSigned(channel);
        GMBLSensor *sensor = device.Sensor(ch);
        if (!device.m_source || sensor == nullptr)
            return -1;
        // -2 (kRejectedDataSheet) when verification rejects the sheet.
        DDSRecord record{};
        const int32_t status = device.m_source->ReadDataSheet(ch, timeoutMs, strict != 0, record);
        if (status != 0)
            return status;
        LiveDevices::Changing([&] { sensor->Record() = record; });
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_DDSMem_WriteRecord(OstrelDevice, int, unsigned int) {
    return -1;
}

int OSTREL_CALL Ostrel_Device_DDSMem_SetRecord(OstrelDevice handle, int channel, const unsigned char *record) {
    if (record == nullptr)
        return -1;
    return ChangeRecord(handle, channel, [&](COstrelDevice &, DDSRecord &stored) {
        stored = DDSRecord::FromBytes(record);
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_DDSMem_GetRecord(OstrelDevice handle, int channel, unsigned char *record) {
    if (record == nullptr)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &stored) {
        stored.CopyTo(record);
        return 0;
    });
}

int OSTREL_CALL Ostrel_Device_DDSMem_CalculateChecksum(OstrelDevice handle, int channel, unsigned char *checksum) {
    if (checksum == nullptr)
        return -1;
    return WithRecord(handle, channel, [&](COstrelDevice &, DDSRecord &stored) {
        *checksum = ComputeChecksum(stored);
        return 0;
    });
}

} // extern "C"
