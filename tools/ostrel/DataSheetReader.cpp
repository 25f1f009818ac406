#include "DataSheetReader.h"

#include <string>

namespace ostrel_tool {

namespace {

constexpr unsigned short kTextBuffer = 64;

// Runs the accessors in order and keeps the first failure.
class FieldReader {
  public:
    FieldReader(OstrelDevice device, int channel) : m_device(device), m_channel(channel) {}

    template <typename Call> void Read(const char *accessor, Call call) {
        if (m_failure)
            return;
        const int result = call(m_device, m_channel);
        if (result != 0)
            m_failure = CallFailed(ExitCode::Failure,
                                   std::string("Ostrel_Device_DDSMem_") + accessor + "(channel " +
                                       std::to_string(m_channel) + ")",
                                   "returned " + std::to_string(result), "");
    }

    Outcome Result() const { return m_failure; }

  private:
    OstrelDevice m_device;
    int m_channel;
    Outcome m_failure;
};

std::string TextFrom(const char *buffer) {
    return std::string(buffer);
}

} // namespace

Outcome ReadDataSheet(OstrelDevice device, int channel, DataSheetView &out) {
    DataSheetView s;
    s.channel = channel;
    FieldReader r(device, channel);
    char text[kTextBuffer] = {};

    r.Read("GetMemMapVersion",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetMemMapVersion(d, c, &s.memMapVersion); });
    r.Read("GetSensorNumber",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetSensorNumber(d, c, &s.sensorNumber); });
    r.Read("GetSerialNumber", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetSerialNumber(d, c, &s.serialNumber[0], &s.serialNumber[1], &s.serialNumber[2]);
    });
    r.Read("GetLotCode",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetLotCode(d, c, &s.lotCode[0], &s.lotCode[1]); });
    r.Read("GetManufacturerID",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetManufacturerID(d, c, &s.manufacturerID); });
    r.Read("GetLongName", [&](OstrelDevice d, int c) {
        const int result = Ostrel_Device_DDSMem_GetLongName(d, c, text, sizeof text);
        s.longName = TextFrom(text);
        return result;
    });
    r.Read("GetShortName", [&](OstrelDevice d, int c) {
        const int result = Ostrel_Device_DDSMem_GetShortName(d, c, text, sizeof text);
        s.shortName = TextFrom(text);
        return result;
    });
    r.Read("GetUncertainty",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetUncertainty(d, c, &s.uncertainty); });
    r.Read("GetSignificantFigures", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetSignificantFigures(d, c, &s.significantFigures);
    });
    r.Read("GetCurrentRequirement", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetCurrentRequirement(d, c, &s.currentRequirement);
    });
    r.Read("GetAveraging",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetAveraging(d, c, &s.averaging); });
    r.Read("GetMinSamplePeriod",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetMinSamplePeriod(d, c, &s.minSamplePeriod); });
    r.Read("GetTypSamplePeriod",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetTypSamplePeriod(d, c, &s.typSamplePeriod); });
    r.Read("GetTypNumberofSamples", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetTypNumberofSamples(d, c, &s.typNumberofSamples);
    });
    r.Read("GetWarmUpTime",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetWarmUpTime(d, c, &s.warmUpTime); });
    r.Read("GetExperimentType",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetExperimentType(d, c, &s.experimentType); });
    r.Read("GetOperationType",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetOperationType(d, c, &s.operationType); });
    r.Read("GetCalibrationEquation", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetCalibrationEquation(d, c, &s.calibrationEquation);
    });
    r.Read("GetYminValue",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetYminValue(d, c, &s.yminValue); });
    r.Read("GetYmaxValue",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetYmaxValue(d, c, &s.ymaxValue); });
    r.Read("GetYscale", [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetYscale(d, c, &s.yscale); });
    r.Read("GetHighestValidCalPageIndex", [&](OstrelDevice d, int c) {
        return Ostrel_Device_DDSMem_GetHighestValidCalPageIndex(d, c, &s.highestValidCalPageIndex);
    });
    r.Read("GetActiveCalPage",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetActiveCalPage(d, c, &s.activeCalPage); });
    for (unsigned char page = 0; page < 3; ++page) {
        CalPageView &p = s.pages[page];
        r.Read("GetCalPage", [&](OstrelDevice d, int c) {
            const int result = Ostrel_Device_DDSMem_GetCalPage(d, c, page, &p.k0, &p.k1, &p.k2, text, sizeof text);
            p.units = TextFrom(text);
            return result;
        });
    }
    r.Read("GetChecksum", [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_GetChecksum(d, c, &s.checksum); });
    r.Read("CalculateChecksum",
           [&](OstrelDevice d, int c) { return Ostrel_Device_DDSMem_CalculateChecksum(d, c, &s.computedChecksum); });

    if (Outcome failed = r.Result())
        return failed;
    out = s;
    return std::nullopt;
}

} // namespace ostrel_tool
