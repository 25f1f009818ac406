#include "InterfaceRefusals.h"

#include <gtest/gtest.h>

#include <cstring>

namespace iface_test {

namespace {

constexpr unsigned char kMark = 0xA5;
constexpr int kChannel = 3;

void ExpectRegistryRefuses(OstrelDevice d) {
    char name[16];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(Ostrel_Device_GetOpenDeviceName(d, name, sizeof name), -1);
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(Ostrel_Device_Lock(d, 0), -1);
    EXPECT_EQ(Ostrel_Device_Unlock(d), -1);
    EXPECT_EQ(Ostrel_Device_Close(d), -1);
}

void ExpectCommandsRefuse(OstrelDevice d) {
    const unsigned char params[4] = {1, 0, 0, 0};
    int signature = -7;
    EXPECT_EQ(Ostrel_Device_SendCmd(d, 0x1C, params, 0, &signature), -1);
    EXPECT_EQ(signature, -7);

    unsigned char response[8];
    std::memset(response, kMark, sizeof response);
    int size = sizeof response;
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(d, 0x1C, nullptr, 0, response, &size, 10), -1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(response[0], kMark);

    size = sizeof response;
    unsigned char echo = kMark;
    unsigned char error = kMark;
    EXPECT_EQ(Ostrel_Device_GetNextResponse(d, response, &size, &echo, &error, nullptr, 10), -1);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(echo, kMark);
    EXPECT_EQ(error, kMark); // not written on a refusal
}

void ExpectMeasurementsRefuse(OstrelDevice d) {
    EXPECT_EQ(Ostrel_Device_ClearIO(d, -1), -1);
    EXPECT_EQ(Ostrel_Device_SetMeasurementPeriod(d, 0.01, 10), -1);
    double period = 0.0;
    EXPECT_EQ(Ostrel_Device_GetMeasurementPeriod(d, &period, 10), -1);
    EXPECT_EQ(period, 1.0);
    EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(d, kChannel), -1);
    int values[4] = {7, 7, 7, 7};
    EXPECT_EQ(Ostrel_Device_ReadRawMeasurements(d, kChannel, values, 4), -1);
    EXPECT_EQ(values[0], 7);
    EXPECT_EQ(Ostrel_Device_GetLatestRawMeasurement(d, kChannel), -1);
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(d, kChannel, 32768), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(d, kChannel, 2.5), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(d, kChannel, 32768), 0.0);
    int first = 9;
    int last = 9;
    EXPECT_EQ(Ostrel_Device_GetChannelRange(d, &first, &last), -1);
    EXPECT_EQ(first, 9);
    EXPECT_EQ(last, 9);
}

void ExpectMemoryRefuses(OstrelDevice d) {
    int first = 9;
    int last = 9;
    EXPECT_EQ(Ostrel_Device_NVMemBlk_GetAddrRange(d, -1, &first, &last), -1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 0);
    unsigned char bytes[16];
    std::memset(bytes, kMark, sizeof bytes);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Read(d, -1, bytes, 0, sizeof bytes, 10), -1);
    EXPECT_EQ(bytes[0], kMark);
    EXPECT_EQ(Ostrel_Device_NVMemBlk_Write(d, -1, bytes, 0, sizeof bytes, 10), -1);
}

void ExpectRecordsRefuse(OstrelDevice d) {
    unsigned char record[128];
    std::memset(record, kMark, sizeof record);
    EXPECT_EQ(Ostrel_Device_DDSMem_ReadRecord(d, kChannel, 1, 10), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_WriteRecord(d, kChannel, 10), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetRecord(d, kChannel, record), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetRecord(d, kChannel, record), -1);
    EXPECT_EQ(record[0], kMark);
    unsigned char checksum = kMark;
    EXPECT_EQ(Ostrel_Device_DDSMem_CalculateChecksum(d, kChannel, &checksum), -1);
    EXPECT_EQ(checksum, kMark);
}

void ExpectFieldsRefuse(OstrelDevice d) {
#define EXPECT_FIELD_REFUSED(Field, Type, value)                                                                       \
    do {                                                                                                               \
        Type out = static_cast<Type>(kMark);                                                                           \
        EXPECT_EQ(Ostrel_Device_DDSMem_Set##Field(d, kChannel, value), -1) << #Field;                                  \
        EXPECT_EQ(Ostrel_Device_DDSMem_Get##Field(d, kChannel, &out), -1) << #Field;                                   \
        EXPECT_EQ(out, static_cast<Type>(kMark)) << #Field;                                                            \
    } while (0)
    EXPECT_FIELD_REFUSED(MemMapVersion, unsigned char, 1);
    EXPECT_FIELD_REFUSED(ManufacturerID, unsigned char, 1);
    EXPECT_FIELD_REFUSED(Uncertainty, unsigned char, 1);
    EXPECT_FIELD_REFUSED(SignificantFigures, unsigned char, 1);
    EXPECT_FIELD_REFUSED(CurrentRequirement, unsigned char, 1);
    EXPECT_FIELD_REFUSED(Averaging, unsigned char, 1);
    EXPECT_FIELD_REFUSED(ExperimentType, unsigned char, 1);
    EXPECT_FIELD_REFUSED(OperationType, unsigned char, 1);
    EXPECT_FIELD_REFUSED(CalibrationEquation, unsigned char, 1);
    EXPECT_FIELD_REFUSED(Yscale, unsigned char, 1);
    EXPECT_FIELD_REFUSED(HighestValidCalPageIndex, unsigned char, 1);
    EXPECT_FIELD_REFUSED(ActiveCalPage, unsigned char, 1);
    EXPECT_FIELD_REFUSED(Checksum, unsigned char, 1);
    EXPECT_FIELD_REFUSED(TypNumberofSamples, unsigned short, 1);
    EXPECT_FIELD_REFUSED(WarmUpTime, unsigned short, 1);
    EXPECT_FIELD_REFUSED(MinSamplePeriod, float, 1.0f);
    EXPECT_FIELD_REFUSED(TypSamplePeriod, float, 1.0f);
    EXPECT_FIELD_REFUSED(YminValue, float, 1.0f);
    EXPECT_FIELD_REFUSED(YmaxValue, float, 1.0f);
#undef EXPECT_FIELD_REFUSED

    // The SensorNumber getter answers 0 whenever it fails.
    unsigned char number = kMark;
    EXPECT_EQ(Ostrel_Device_DDSMem_SetSensorNumber(d, kChannel, 2), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSensorNumber(d, kChannel, &number), -1);
    EXPECT_EQ(number, 0);

    unsigned char b0 = kMark, b1 = kMark, b2 = kMark;
    EXPECT_EQ(Ostrel_Device_DDSMem_SetSerialNumber(d, kChannel, 1, 2, 3), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetSerialNumber(d, kChannel, &b0, &b1, &b2), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetLotCode(d, kChannel, 1, 2), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLotCode(d, kChannel, &b0, &b1), -1);
    EXPECT_EQ(b0 + b1 + b2, 3 * kMark);

    char text[32];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetLongName(d, kChannel, "Name"), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetLongName(d, kChannel, text, sizeof text), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_SetShortName(d, kChannel, "Name"), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetShortName(d, kChannel, text, sizeof text), -1);
    float k0 = -1.0f, k1 = -1.0f, k2 = -1.0f;
    EXPECT_EQ(Ostrel_Device_DDSMem_SetCalPage(d, kChannel, 0, 1.0f, 2.0f, 3.0f, "V"), -1);
    EXPECT_EQ(Ostrel_Device_DDSMem_GetCalPage(d, kChannel, 0, &k0, &k1, &k2, text, sizeof text), -1);
    EXPECT_EQ(text[0], 'x');
    EXPECT_EQ(k0 + k1 + k2, -3.0f);
}

void ExpectDiagnosticsRefuse(OstrelDevice d) {
    EXPECT_EQ(Ostrel_Diags_SetIOTraceEnableFlag(d, 1), -1);
    unsigned char enabled = kMark;
    EXPECT_EQ(Ostrel_Diags_GetIOTraceEnableFlag(d, &enabled), -1);
    EXPECT_EQ(enabled, 0);
    unsigned char bytes[8];
    EXPECT_EQ(Ostrel_Diags_GetNumInputTraceBytesAvailable(d), -1);
    EXPECT_EQ(Ostrel_Diags_ReadInputTraceBytes(d, bytes, sizeof bytes), -1);
    EXPECT_EQ(Ostrel_Diags_GetNumOutputTraceBytesAvailable(d), -1);
    EXPECT_EQ(Ostrel_Diags_ReadOutputTraceBytes(d, bytes, sizeof bytes), -1);
}

} // namespace

void ExpectEveryDeviceExportRefuses(OstrelDevice device) {
    ExpectRegistryRefuses(device);
    ExpectCommandsRefuse(device);
    ExpectMeasurementsRefuse(device);
    ExpectMemoryRefuses(device);
    ExpectRecordsRefuse(device);
    ExpectFieldsRefuse(device);
    ExpectDiagnosticsRefuse(device);
}

} // namespace iface_test
