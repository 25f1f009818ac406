#include "DataSheetView.h"

#include "HexCodec.h"
#include "NumberText.h"

namespace ostrel_tool {

namespace {

std::string U8(uint8_t value) {
    return std::to_string(value);
}

std::string Hex2(uint8_t value) {
    return HexBytes(&value, 1);
}

std::string QuotedText(const std::string &text) {
    return "\"" + text + "\"";
}

std::string PageText(const CalPageView &page) {
    return "K0 " + ShortNumber(page.k0) + ", K1 " + ShortNumber(page.k1) + ", K2 " + ShortNumber(page.k2) + ", units " +
           QuotedText(page.units);
}

} // namespace

int DataSheetView::CalibrationPage() const {
    return activeCalPage <= highestValidCalPageIndex && activeCalPage < pages.size() ? activeCalPage : 0;
}

std::string DataSheetView::CalibratedUnits() const {
    if (calibrationEquation != 1)
        return "V";
    const std::string &units = pages[static_cast<size_t>(CalibrationPage())].units;
    return units.empty() ? "no units" : units;
}

std::string DataSheetView::DisplayName() const {
    if (!shortName.empty())
        return shortName;
    if (!longName.empty())
        return longName;
    return "channel " + std::to_string(channel);
}

std::string ValueLabel(const DataSheetView &sheet, bool raw) {
    return sheet.DisplayName() + " (" + (raw ? std::string("raw") : sheet.CalibratedUnits()) + ")";
}

std::vector<std::string> SummaryLines(const DataSheetView &sheet) {
    std::vector<std::string> lines;
    lines.push_back("long name " + QuotedText(sheet.longName) + ", short name " + QuotedText(sheet.shortName));
    lines.push_back("sensor number " + U8(sheet.sensorNumber) + ", serial " +
                    HexBytes(sheet.serialNumber.data(), sheet.serialNumber.size()) + ", lot code " +
                    HexBytes(sheet.lotCode.data(), sheet.lotCode.size()));
    const CalPageView &page = sheet.pages[static_cast<size_t>(sheet.CalibrationPage())];
    std::string calibration = "active calibration page " + U8(sheet.activeCalPage) + " (valid 0-" +
                              U8(sheet.highestValidCalPageIndex) + "): K0 " + ShortNumber(page.k0) + ", K1 " +
                              ShortNumber(page.k1) + ", units " + QuotedText(page.units);
    if (sheet.CalibrationPage() != sheet.activeCalPage)
        calibration += " (the active page is not valid: page 0 is used)";
    if (sheet.calibrationEquation != 1)
        calibration += " (equation " + U8(sheet.calibrationEquation) + " is not linear: values stay in volts)";
    lines.push_back(calibration);
    lines.push_back("checksum 0x" + Hex2(sheet.checksum) +
                    (sheet.ChecksumHolds()
                         ? std::string(": holds")
                         : ": does NOT hold (the bytes give 0x" + Hex2(sheet.computedChecksum) + ")"));
    return lines;
}

std::vector<std::pair<std::string, std::string>> FieldLines(const DataSheetView &s) {
    std::vector<std::pair<std::string, std::string>> f;
    f.emplace_back("MemMapVersion", U8(s.memMapVersion));
    f.emplace_back("SensorNumber", U8(s.sensorNumber));
    f.emplace_back("SerialNumber", HexBytes(s.serialNumber.data(), s.serialNumber.size()));
    f.emplace_back("LotCode", HexBytes(s.lotCode.data(), s.lotCode.size()));
    f.emplace_back("ManufacturerID", U8(s.manufacturerID));
    f.emplace_back("LongName", QuotedText(s.longName));
    f.emplace_back("ShortName", QuotedText(s.shortName));
    f.emplace_back("Uncertainty", U8(s.uncertainty));
    f.emplace_back("SignificantFigures", U8(s.significantFigures));
    f.emplace_back("CurrentRequirement", U8(s.currentRequirement));
    f.emplace_back("Averaging", U8(s.averaging));
    f.emplace_back("MinSamplePeriod", ShortNumber(s.minSamplePeriod));
    f.emplace_back("TypSamplePeriod", ShortNumber(s.typSamplePeriod));
    f.emplace_back("TypNumberofSamples", std::to_string(s.typNumberofSamples));
    f.emplace_back("WarmUpTime", std::to_string(s.warmUpTime));
    f.emplace_back("ExperimentType", U8(s.experimentType));
    f.emplace_back("OperationType", U8(s.operationType));
    f.emplace_back("CalibrationEquation",
                   U8(s.calibrationEquation) + (s.calibrationEquation == 1 ? " (linear)" : " (none: volts)"));
    f.emplace_back("YminValue", ShortNumber(s.yminValue));
    f.emplace_back("YmaxValue", ShortNumber(s.ymaxValue));
    f.emplace_back("Yscale", U8(s.yscale));
    f.emplace_back("HighestValidCalPageIndex", U8(s.highestValidCalPageIndex));
    f.emplace_back("ActiveCalPage", U8(s.activeCalPage));
    for (size_t p = 0; p < s.pages.size(); ++p) {
        std::string value = PageText(s.pages[p]);
        if (p > s.highestValidCalPageIndex)
            value += " (not valid)";
        else if (s.calibrationEquation == 1 && static_cast<int>(p) == s.CalibrationPage())
            value += " (in use)";
        f.emplace_back("CalPage " + std::to_string(p), value);
    }
    f.emplace_back("Checksum",
                   "0x" + Hex2(s.checksum) +
                       (s.ChecksumHolds() ? std::string(" (holds)")
                                          : " (does NOT hold: the bytes give 0x" + Hex2(s.computedChecksum) + ")"));
    return f;
}

} // namespace ostrel_tool
