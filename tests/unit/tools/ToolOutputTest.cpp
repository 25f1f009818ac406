// What the tool writes: CSV records, SVG charts, rows of aligned samples, and
// the units it labels calibrated values with.
#include "CsvWriter.h"
#include "DataSheetView.h"
#include "SampleAligner.h"
#include "SvgChart.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace ostrel_tool;

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

TEST(ToolCsv, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(CsvWriter::FormatRow({"time (s)", "3 Temp (degC)", ""}), "time (s),3 Temp (degC),\r\n");
    EXPECT_EQ(CsvWriter::Field("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvWriter::Field("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvWriter::Field(" padded"), "\" padded\"");
    EXPECT_EQ(CsvWriter::Field("two\nlines"), "\"two\nlines\"");
}

TEST(ToolCsv, WritesRowsToAFileAndReportsFailure) {
    const std::string path = ::testing::TempDir() + "ostrel_tool_csv_test.csv";
    {
        CsvWriter csv;
        std::string error;
        ASSERT_TRUE(csv.Open(path, error)) << error;
        csv.WriteRow({"t", "v"});
        csv.WriteRow({"0.000", "1.5"});
        EXPECT_EQ(csv.RowsWritten(), 2u);
        ASSERT_TRUE(csv.Close(error)) << error;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "t,v\r\n0.000,1.5\r\n");
    std::remove(path.c_str());

    CsvWriter csv;
    std::string error;
    EXPECT_FALSE(csv.Open(::testing::TempDir() + "no-such-folder/x/y.csv", error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(ToolSvg, TicksAreRoundAndCoverTheRange) {
    struct Case {
        double lo, hi;
    } cases[] = {{21.875, 37.827}, {-50.25, -30.3}, {0, 1.99}, {5, 5}, {0, 0}, {-1e-3, 4e5}};
    for (const Case &c : cases) {
        const std::vector<double> ticks = NiceTicks(c.lo, c.hi, 5);
        ASSERT_GE(ticks.size(), 2u);
        EXPECT_LE(ticks.front(), c.lo);
        EXPECT_GE(ticks.back(), c.hi);
        EXPECT_LT(ticks.front(), ticks.back());
        const double step = ticks[1] - ticks[0];
        const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
        EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 || std::fabs(mantissa - 5) < 1e-6)
            << c.lo << ".." << c.hi << " step " << step;
        EXPECT_LE(ticks.size(), 12u);
    }
}

TEST(ToolSvg, OneLabelledChartPerChannel) {
    SvgChart chart("Unit <1> & co");
    const size_t temp = chart.AddSeries("Channel 3: Temperature Probe", "Temp (degC)");
    const size_t force = chart.AddSeries("Channel 7: Dual-Range Force", "Force (N)");
    chart.AddSeries("Channel 5: Light", "Light (lux)"); // no samples
    for (int i = 0; i < 100; ++i) {
        chart.Add(temp, i * 0.01, 20 + i * 0.1);
        chart.Add(force, i * 0.01, i == 50 ? NAN : -50 + i * 0.2);
    }
    const std::string svg = chart.Render();
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find("Unit &lt;1&gt; &amp; co"), std::string::npos);
    EXPECT_EQ(Count(svg, "<g class=\"chart\">"), 3u);
    EXPECT_EQ(Count(svg, ">time (s)</text>"), 3u);
    EXPECT_EQ(Count(svg, ">Temp (degC)</text>"), 1u);
    EXPECT_EQ(Count(svg, ">Force (N)</text>"), 1u);
    // The gap at the missing force value splits its line in two.
    EXPECT_EQ(Count(svg, "<polyline"), 3u);
    EXPECT_EQ(Count(svg, ">no samples</text>"), 1u);
    EXPECT_EQ(svg.find("nan"), std::string::npos);
}

TEST(ToolSvg, LongStreamsAreThinnedEvenly) {
    SvgChart chart("long");
    const size_t s = chart.AddSeries("c", "v");
    const size_t total = SvgChart::kMaxPointsPerSeries * 5 + 3;
    for (size_t i = 0; i < total; ++i) {
        chart.Add(s, static_cast<double>(i), static_cast<double>(i));
        if (i == 2)
            chart.Break(); // a gap early on outlives every thinning
    }
    EXPECT_LE(chart.PointCount(s), SvgChart::kMaxPointsPerSeries);
    EXPECT_GE(chart.PointCount(s), SvgChart::kMaxPointsPerSeries / 2);
    // Still spans the whole stream: the last point lies near its end.
    const std::string svg = chart.Render();
    const size_t lastPoint = svg.rfind(' ', svg.rfind("\"/>\n</g>"));
    const double lastX = std::stod(svg.substr(lastPoint + 1));
    EXPECT_GT(lastX, 700.0);
    EXPECT_EQ(Count(svg, "<polyline"), 2u);
}

TEST(ToolAligner, RowsHoldSampleIOfEveryChannel) {
    std::vector<SampleRow> rows;
    SampleAligner aligner(2, 10, [&](const SampleRow &row) { rows.push_back(row); });
    aligner.Add(0, 1.0);
    aligner.Add(0, 2.0);
    EXPECT_TRUE(rows.empty());
    aligner.Add(1, 10.0);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].index, 0u);
    EXPECT_EQ(rows[0].values[0], 1.0);
    EXPECT_EQ(rows[0].values[1], 10.0);
    aligner.Add(1, 20.0);
    aligner.Add(1, 30.0);
    ASSERT_EQ(rows.size(), 2u);
    aligner.Finish(); // channel 1's third sample has no partner
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].index, 2u);
    EXPECT_FALSE(rows[2].values[0].has_value());
    EXPECT_EQ(rows[2].values[1], 30.0);
}

TEST(ToolAligner, ASilentChannelDoesNotHoldTheOthersBack) {
    std::vector<SampleRow> rows;
    SampleAligner aligner(2, 3, [&](const SampleRow &row) { rows.push_back(row); });
    for (int i = 0; i < 5; ++i)
        aligner.Add(0, i);
    // Given up on channel 1 once channel 0 ran more than 3 ahead.
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows[0].values[1].has_value());
    // Its late samples for rows already out are dropped, not shifted into
    // the wrong rows; the next one lands in row 2.
    aligner.Add(1, 100);
    aligner.Add(1, 101);
    EXPECT_EQ(aligner.LateSamplesDropped(), 2u);
    aligner.Add(1, 102);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].index, 2u);
    EXPECT_EQ(rows[2].values[0], 2.0);
    EXPECT_EQ(rows[2].values[1], 102.0);
}

DataSheetView Sheet() {
    DataSheetView sheet;
    sheet.channel = 4;
    sheet.shortName = "Pressure";
    sheet.calibrationEquation = 1;
    sheet.highestValidCalPageIndex = 2;
    sheet.activeCalPage = 1;
    sheet.pages[0].units = "kPa";
    sheet.pages[1].units = "psi";
    sheet.pages[2].units = "atm";
    return sheet;
}

TEST(ToolDataSheetView, UnitsFollowThePageTheLibraryCalibratesWith) {
    DataSheetView sheet = Sheet();
    EXPECT_EQ(sheet.CalibratedUnits(), "psi");
    EXPECT_EQ(ValueLabel(sheet, false), "Pressure (psi)");
    EXPECT_EQ(ValueLabel(sheet, true), "Pressure (raw)");
    // An active page beyond the valid ones: the library falls back to page 0.
    sheet.highestValidCalPageIndex = 0;
    EXPECT_EQ(sheet.CalibratedUnits(), "kPa");
    // No linear equation: values come back in volts.
    sheet.calibrationEquation = 0;
    EXPECT_EQ(sheet.CalibratedUnits(), "V");
    sheet.shortName.clear();
    EXPECT_EQ(sheet.DisplayName(), "channel 4");
}

TEST(ToolDataSheetView, ChecksumVerdictIsShown) {
    DataSheetView sheet = Sheet();
    sheet.checksum = 0x5a;
    sheet.computedChecksum = 0x5a;
    const auto fields = FieldLines(sheet);
    ASSERT_EQ(fields.size(), 27u); // 25 fields, the pages one line each
    EXPECT_EQ(fields.back().second, "0x5a (holds)");
    sheet.computedChecksum = 0x5b;
    EXPECT_EQ(FieldLines(sheet).back().second, "0x5a (does NOT hold: the bytes give 0x5b)");
    EXPECT_EQ(SummaryLines(sheet).back(), "checksum 0x5a: does NOT hold (the bytes give 0x5b)");
}

} // namespace
