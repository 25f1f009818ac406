// A self-contained SVG drawing of streamed values: one chart per channel,
// stacked, sharing the time axis, each with ticks, labels and a polyline.
// Long streams are thinned evenly so the file stays small.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel_tool {

// Round tick values ("nice" steps of 1, 2 or 5 times a power of ten) that
// cover lo..hi with about `target` intervals; the first and last ticks are the
// axis ends. lo == hi gets a range around the value.
std::vector<double> NiceTicks(double lo, double hi, int target);

// Text made safe for SVG/XML content and attribute values.
std::string XmlEscape(const std::string &text);

class SvgChart {
  public:
    static constexpr size_t kMaxPointsPerSeries = 20000;

    explicit SvgChart(std::string title);

    // A chart: its heading and the label of its value axis (name and units).
    size_t AddSeries(const std::string &heading, const std::string &valueLabel);
    // A sample at time t (seconds). Non-finite values leave a gap.
    void Add(size_t series, double t, double value);
    // A gap in every series: no line is drawn across it.
    void Break();

    size_t SeriesCount() const { return m_series.size(); }
    size_t PointCount(size_t series) const;

    std::string Render() const;
    // Writes Render() to the file. False with a message in error.
    bool WriteFile(const std::string &path, std::string &error) const;

  private:
    struct Point {
        double t;
        double value;
    };
    struct Series {
        std::string heading;
        std::string valueLabel;
        std::vector<Point> points;
        size_t stride = 1; // keep one sample in stride
        size_t seen = 0;   // samples offered so far
    };
    void RenderPanel(std::string &svg, const Series &series, size_t index, double tMax) const;

    std::string m_title;
    std::vector<Series> m_series;
};

} // namespace ostrel_tool
