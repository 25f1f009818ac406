// Lines the streamed samples of several channels up into rows: row i holds
// sample i of every channel. The unit sends all its channels in the same
// blobs, so the columns normally fill together; a channel the unit does not
// send must not hold the others back without end, so once the others are
// more than maxLag samples ahead its cells are given up as empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace ostrel_tool {

struct SampleRow {
    uint64_t index = 0;                        // sample number from the start, 0 first
    std::vector<std::optional<double>> values; // one per column, empty where missing
};

class SampleAligner {
  public:
    using RowSink = std::function<void(const SampleRow &)>;

    SampleAligner(size_t columns, size_t maxLag, RowSink sink);

    // Appends the next sample of a column; hands every row that is now
    // complete (or given up on) to the sink, in order.
    void Add(size_t column, double value);

    // Hands out every row still held, with empty cells where a column has
    // no sample.
    void Finish();

    uint64_t RowsEmitted() const { return m_nextIndex; }
    // Samples that arrived for a row already handed out without them.
    uint64_t LateSamplesDropped() const { return m_dropped; }

  private:
    void EmitReady();
    void EmitFront();

    std::vector<std::deque<double>> m_pending;
    std::vector<uint64_t> m_skip; // samples of this column still to drop
    size_t m_maxLag;
    RowSink m_sink;
    uint64_t m_nextIndex = 0;
    uint64_t m_dropped = 0;
};

} // namespace ostrel_tool
