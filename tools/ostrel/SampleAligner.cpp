#include "SampleAligner.h"

#include <algorithm>
#include <utility>

namespace ostrel_tool {

SampleAligner::SampleAligner(size_t columns, size_t maxLag, RowSink sink)
    : m_pending(columns), m_skip(columns, 0), m_maxLag(maxLag), m_sink(std::move(sink)) {}

void SampleAligner::Add(size_t column, double value) {
    if (column >= m_pending.size())
        return;
    if (m_skip[column] > 0) {
        --m_skip[column];
        ++m_dropped;
        return;
    }
    m_pending[column].push_back(value);
    EmitReady();
}

void SampleAligner::EmitFront() {
    SampleRow row;
    row.index = m_nextIndex++;
    row.values.resize(m_pending.size());
    for (size_t c = 0; c < m_pending.size(); ++c) {
        if (m_pending[c].empty()) {
            ++m_skip[c];
        } else {
            row.values[c] = m_pending[c].front();
            m_pending[c].pop_front();
        }
    }
    if (m_sink)
        m_sink(row);
}

void SampleAligner::EmitReady() {
    for (;;) {
        size_t shortest = SIZE_MAX;
        size_t longest = 0;
        for (const auto &column : m_pending) {
            shortest = std::min(shortest, column.size());
            longest = std::max(longest, column.size());
        }
        if (m_pending.empty() || longest == 0)
            return;
        if (shortest == 0 && longest <= m_maxLag)
            return;
        EmitFront();
    }
}

void SampleAligner::Finish() {
    for (;;) {
        bool any = false;
        for (const auto &column : m_pending)
            any = any || !column.empty();
        if (!any)
            return;
        EmitFront();
    }
}

} // namespace ostrel_tool
