#include "ProgressLine.h"

#include "Terminal.h"

#include <cstdio>

namespace ostrel_tool {

ProgressLine::ProgressLine(std::string label, std::string expectation)
    : m_label(std::move(label)), m_expectation(std::move(expectation)), m_start(std::chrono::steady_clock::now()),
      m_shown(IsTerminal(stderr)) {
    if (m_shown)
        m_thread = std::thread(&ProgressLine::Run, this);
}

ProgressLine::~ProgressLine() {
    Stop();
}

double ProgressLine::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void ProgressLine::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        std::string line = "\r" + m_label + ": ";
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", Elapsed());
        line += seconds;
        if (!m_expectation.empty())
            line += " of " + m_expectation;
        line += "\033[K"; // clears what a longer earlier line left
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        m_wake.wait_for(lock, std::chrono::milliseconds(100));
    }
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void ProgressLine::SetLabel(std::string label) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_label = std::move(label);
    }
    m_wake.notify_all();
}

double ProgressLine::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stopping) {
            m_stopping = true;
            m_elapsed = Elapsed();
        }
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    return m_elapsed;
}

} // namespace ostrel_tool
