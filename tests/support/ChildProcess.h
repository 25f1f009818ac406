// Runs the helper program ostrel_test_child beside the test program, for tests
// that need a second process (named mutexes held or abandoned elsewhere).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ChildProcess {
  public:
    ChildProcess();
    // Waits for a child still running; after a time-out it is killed where
    // the platform allows it.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Starts the helper with the given arguments (the command first). False
    // when it could not be started or one is already running.
    bool Start(const std::vector<std::string> &arguments);
    // The child's exit code, or -1 when it did not end within timeoutMs.
    int WaitForExit(uint32_t timeoutMs);

    // The helper's full path: the test program's directory plus its file name.
    static std::string HelperPath();
    // A fresh path for a marker file in the test program's directory, unique
    // per process and call. The file does not exist yet.
    static std::string NewMarkerPath(const std::string &stem);
    // Polls every 10 ms until the file exists; false after timeoutMs.
    static bool WaitForFile(const std::string &path, uint32_t timeoutMs);
    static void RemoveFile(const std::string &path);

    // A starting process costs about 50 s under Wine; waits for a child's
    // first sign of life take this into account.
    static uint32_t StartupAllowanceMs();

  private:
    struct State;
    std::shared_ptr<State> m_state;
};
