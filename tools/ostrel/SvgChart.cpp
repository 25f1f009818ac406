#include "SvgChart.h"

#include "NumberText.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace ostrel_tool {

namespace {

// Layout, in SVG user units.
constexpr double kWidth = 900;
constexpr double kHeaderHeight = 44;
constexpr double kPanelHeight = 250;
constexpr double kPlotLeft = 96;
constexpr double kPlotRight = kWidth - 28;
constexpr double kPlotTopInPanel = 34;
constexpr double kPlotBottomInPanel = kPanelHeight - 58;

const char *const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b"};

double NiceStep(double range, bool round) {
    const double exponent = std::floor(std::log10(range));
    const double fraction = range / std::pow(10.0, exponent);
    double nice;
    if (round)
        nice = fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10;
    else
        nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
    return nice * std::pow(10.0, exponent);
}

std::string Num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

std::vector<double> NiceTicks(double lo, double hi, int target) {
    if (!std::isfinite(lo) || !std::isfinite(hi))
        return {0.0, 1.0};
    if (hi < lo)
        std::swap(lo, hi);
    if (hi == lo) {
        const double pad = lo == 0 ? 1.0 : std::fabs(lo) * 0.05;
        lo -= pad;
        hi += pad;
    }
    if (target < 1)
        target = 1;
    const double step = NiceStep(NiceStep(hi - lo, false) / target, true);
    const double first = std::floor(lo / step + 1e-9) * step;
    const double last = std::ceil(hi / step - 1e-9) * step;
    std::vector<double> ticks;
    for (int k = 0;; ++k) {
        double tick = first + k * step;
        if (std::fabs(tick) < step * 1e-9)
            tick = 0.0; // no "-0"
        ticks.push_back(tick);
        if (tick >= last - step * 1e-9 || k > 1000)
            break;
    }
    if (ticks.size() < 2)
        ticks.push_back(first + step);
    return ticks;
}

std::string XmlEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                out += c;
            break;
        }
    }
    return out;
}

SvgChart::SvgChart(std::string title) : m_title(std::move(title)) {}

size_t SvgChart::AddSeries(const std::string &heading, const std::string &valueLabel) {
    Series series;
    series.heading = heading;
    series.valueLabel = valueLabel;
    m_series.push_back(series);
    return m_series.size() - 1;
}

void SvgChart::Add(size_t index, double t, double value) {
    if (index >= m_series.size())
        return;
    Series &series = m_series[index];
    if (series.seen++ % series.stride != 0)
        return;
    series.points.push_back(Point{t, value});
    if (series.points.size() > kMaxPointsPerSeries) {
        // Keep every other point and from now on every other sample of the
        // previous rate: the thinning stays even over the whole stream.
        size_t kept = 0;
        for (size_t i = 0; i < series.points.size(); ++i)
            if (i % 2 == 0 || !std::isfinite(series.points[i].t)) // breaks are kept
                series.points[kept++] = series.points[i];
        series.points.resize(kept);
        series.stride *= 2;
        series.seen = 1; // the point just added was kept at an even position
    }
}

void SvgChart::Break() {
    const double none = std::numeric_limits<double>::quiet_NaN();
    for (Series &series : m_series)
        series.points.push_back(Point{none, none});
}

size_t SvgChart::PointCount(size_t index) const {
    return index < m_series.size() ? m_series[index].points.size() : 0;
}

void SvgChart::RenderPanel(std::string &svg, const Series &series, size_t index, double tMax) const {
    const double top = kHeaderHeight + static_cast<double>(index) * kPanelHeight;
    const double plotTop = top + kPlotTopInPanel;
    const double plotBottom = top + kPlotBottomInPanel;
    const char *colour = kColours[index % (sizeof kColours / sizeof kColours[0])];

    double vMin = INFINITY;
    double vMax = -INFINITY;
    for (const Point &p : series.points) {
        if (std::isfinite(p.value)) {
            vMin = std::min(vMin, p.value);
            vMax = std::max(vMax, p.value);
        }
    }
    const bool hasValues = vMin <= vMax;
    const std::vector<double> yTicks = hasValues ? NiceTicks(vMin, vMax, 5) : std::vector<double>{0.0, 1.0};
    const std::vector<double> tTicks = NiceTicks(0.0, tMax, 8);
    const double yLo = yTicks.front();
    const double yHi = yTicks.back();
    const double tHi = tTicks.back();
    auto xOf = [&](double t) { return kPlotLeft + (t / tHi) * (kPlotRight - kPlotLeft); };
    auto yOf = [&](double v) { return plotBottom - (v - yLo) / (yHi - yLo) * (plotBottom - plotTop); };

    svg += "<g class=\"chart\">\n";
    svg += "<text x=\"" + Num(kPlotLeft) + "\" y=\"" + Num(top + 22) + "\" font-size=\"15\" font-weight=\"bold\">" +
           XmlEscape(series.heading) + "</text>\n";
    svg += "<rect x=\"" + Num(kPlotLeft) + "\" y=\"" + Num(plotTop) + "\" width=\"" + Num(kPlotRight - kPlotLeft) +
           "\" height=\"" + Num(plotBottom - plotTop) + "\" fill=\"#fcfcfc\" stroke=\"#888\"/>\n";

    const int yDecimals = DecimalsFor(yTicks.size() > 1 ? yTicks[1] - yTicks[0] : 1.0);
    for (double v : yTicks) {
        const double y = yOf(v);
        svg += "<line x1=\"" + Num(kPlotLeft) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(kPlotRight) + "\" y2=\"" +
               Num(y) + "\" stroke=\"#e0e0e0\"/>\n";
        svg += "<line x1=\"" + Num(kPlotLeft - 5) + "\" y1=\"" + Num(y) + "\" x2=\"" + Num(kPlotLeft) + "\" y2=\"" +
               Num(y) + "\" stroke=\"#444\"/>\n";
        svg += "<text x=\"" + Num(kPlotLeft - 8) + "\" y=\"" + Num(y + 4) + "\" text-anchor=\"end\">" +
               FixedNumber(v, yDecimals) + "</text>\n";
    }
    const int tDecimals = DecimalsFor(tTicks.size() > 1 ? tTicks[1] - tTicks[0] : 1.0);
    for (double t : tTicks) {
        const double x = xOf(t);
        svg += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(plotTop) + "\" x2=\"" + Num(x) + "\" y2=\"" + Num(plotBottom) +
               "\" stroke=\"#eeeeee\"/>\n";
        svg += "<line x1=\"" + Num(x) + "\" y1=\"" + Num(plotBottom) + "\" x2=\"" + Num(x) + "\" y2=\"" +
               Num(plotBottom + 5) + "\" stroke=\"#444\"/>\n";
        svg += "<text x=\"" + Num(x) + "\" y=\"" + Num(plotBottom + 19) + "\" text-anchor=\"middle\">" +
               FixedNumber(t, tDecimals) + "</text>\n";
    }
    svg += "<text x=\"" + Num((kPlotLeft + kPlotRight) / 2) + "\" y=\"" + Num(plotBottom + 40) +
           "\" text-anchor=\"middle\">time (s)</text>\n";
    const double yMid = (plotTop + plotBottom) / 2;
    svg += "<text x=\"22\" y=\"" + Num(yMid) + "\" text-anchor=\"middle\" transform=\"rotate(-90 22 " + Num(yMid) +
           ")\">" + XmlEscape(series.valueLabel) + "</text>\n";

    if (!hasValues) {
        svg += "<text x=\"" + Num((kPlotLeft + kPlotRight) / 2) + "\" y=\"" + Num(yMid) +
               "\" text-anchor=\"middle\" fill=\"#888\">no samples</text>\n";
    }
    // One polyline per run of finite values.
    std::string run;
    size_t runPoints = 0;
    auto flush = [&]() {
        if (runPoints > 0)
            svg += "<polyline fill=\"none\" stroke=\"" + std::string(colour) +
                   "\" stroke-width=\"1.5\" stroke-linejoin=\"round\" points=\"" + run + "\"/>\n";
        run.clear();
        runPoints = 0;
    };
    for (const Point &p : series.points) {
        if (!std::isfinite(p.value) || !std::isfinite(p.t)) {
            flush();
            continue;
        }
        if (runPoints > 0)
            run += ' ';
        run += Num(xOf(p.t)) + "," + Num(yOf(p.value));
        ++runPoints;
    }
    flush();
    svg += "</g>\n";
}

std::string SvgChart::Render() const {
    double tMax = 0;
    for (const Series &series : m_series)
        for (const Point &p : series.points)
            if (std::isfinite(p.t))
                tMax = std::max(tMax, p.t);
    if (tMax <= 0)
        tMax = 1;

    const double height = kHeaderHeight + kPanelHeight * static_cast<double>(std::max<size_t>(m_series.size(), 1));
    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" + Num(height) +
           "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
           "\" font-family=\"DejaVu Sans, Arial, Helvetica, sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + XmlEscape(m_title) + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + Num(kWidth / 2) + "\" y=\"28\" text-anchor=\"middle\" font-size=\"17\">" +
           XmlEscape(m_title) + "</text>\n";
    for (size_t i = 0; i < m_series.size(); ++i)
        RenderPanel(svg, m_series[i], i, tMax);
    svg += "</svg>\n";
    return svg;
}

bool SvgChart::WriteFile(const std::string &path, std::string &error) const {
    const std::string svg = Render();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(svg.data(), 1, svg.size(), file) == svg.size();
    const int savedErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "writing " + path + " failed: " + std::strerror(savedErrno != 0 ? savedErrno : EIO);
        return false;
    }
    return true;
}

} // namespace ostrel_tool
