// A line on standard error that counts the seconds of a long blocking call
// (a search takes 7.7 or 15 s, an open about 4 s) and is wiped when the call
// returns. It shows only when standard error is a terminal, so logs and pipes
// stay clean.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace ostrel_tool {

class ProgressLine {
  public:
    // label: what is happening; expectation: how long it usually takes, or empty.
    ProgressLine(std::string label, std::string expectation);
    ~ProgressLine(); // Stop()
    ProgressLine(const ProgressLine &) = delete;
    ProgressLine &operator=(const ProgressLine &) = delete;

    // Ends the line and gives the elapsed seconds.
    double Stop();
    // What is happening now; the seconds count on.
    void SetLabel(std::string label);

  private:
    void Run();
    double Elapsed() const;

    std::string m_label;
    std::string m_expectation;
    std::chrono::steady_clock::time_point m_start;
    bool m_shown;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    double m_elapsed = 0;
    std::thread m_thread;
};

} // namespace ostrel_tool
