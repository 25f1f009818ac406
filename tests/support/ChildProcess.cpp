#include "ChildProcess.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <process.h>
#include <stdlib.h>
#else
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

// Everything here is narrow: the helper reads narrow arguments and opens the
// marker file with fopen, and the test paths are ASCII.

namespace {

std::string Directory(const std::string &path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

#ifdef _WIN32
constexpr char kSeparator = '\\';

std::string OwnPath() {
    const char *path = _pgmptr; // the CRT's copy of the program's full path
    return path != nullptr ? std::string(path) : std::string();
}

int OwnProcessId() {
    return _getpid();
}

// _spawnv joins the arguments with spaces; quote those that need it.
std::string Quoted(const std::string &argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos)
        return argument;
    std::string out = "\"";
    for (char c : argument) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}
#else
constexpr char kSeparator = '/';

std::string OwnPath() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int OwnProcessId() {
    return static_cast<int>(getpid());
}
#endif

bool FileExists(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}

} // namespace

struct ChildProcess::State {
    std::mutex lock;
    std::condition_variable ended;
    bool running = false;
    int exitCode = -1;
#ifdef _WIN32
    intptr_t process = -1;
#else
    pid_t pid = -1;
#endif
};

ChildProcess::ChildProcess() : m_state(std::make_shared<State>()) {}

ChildProcess::~ChildProcess() {
    if (WaitForExit(60000) != -1)
        return;
#ifndef _WIN32
    std::lock_guard<std::mutex> lock(m_state->lock);
    if (m_state->running) {
        kill(m_state->pid, SIGKILL);
        waitpid(m_state->pid, nullptr, 0);
        m_state->running = false;
    }
#endif
    // On Windows the waiting thread keeps the shared state alive until the
    // child ends; there is no kill without <windows.h>.
}

std::string ChildProcess::HelperPath() {
    return Directory(OwnPath()) + kSeparator + OSTREL_TEST_CHILD;
}

std::string ChildProcess::NewMarkerPath(const std::string &stem) {
    static std::mutex lock;
    static int counter = 0;
    std::lock_guard<std::mutex> guard(lock);
    std::string path = Directory(OwnPath()) + kSeparator + "ostrel_marker_" + stem + "_" +
                       std::to_string(OwnProcessId()) + "_" + std::to_string(++counter);
    std::remove(path.c_str());
    return path;
}

bool ChildProcess::WaitForFile(const std::string &path, uint32_t timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!FileExists(path)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void ChildProcess::RemoveFile(const std::string &path) {
    std::remove(path.c_str());
}

uint32_t ChildProcess::StartupAllowanceMs() {
#ifdef _WIN32
    return 480000;
#else
    return 30000;
#endif
}

#ifdef _WIN32

bool ChildProcess::Start(const std::vector<std::string> &arguments) {
    if (m_state->running)
        return false;
    std::string path = HelperPath();
    std::vector<std::string> quoted{Quoted(path)};
    for (const auto &argument : arguments)
        quoted.push_back(Quoted(argument));
    std::vector<const char *> argv;
    for (const auto &argument : quoted)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    intptr_t process = _spawnv(_P_NOWAIT, path.c_str(), argv.data());
    if (process == -1)
        return false;
    m_state->process = process;
    m_state->running = true;
    // _cwait has no time-out: a thread waits and hands the exit code over.
    std::shared_ptr<State> state = m_state;
    std::thread([state, process] {
        int status = -1;
        intptr_t waited = _cwait(&status, process, _WAIT_CHILD);
        std::lock_guard<std::mutex> lock(state->lock);
        state->exitCode = waited == -1 ? -2 : status;
        state->running = false;
        state->ended.notify_all();
    }).detach();
    return true;
}

int ChildProcess::WaitForExit(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_state->lock);
    if (!m_state->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_state->running; }))
        return -1;
    return m_state->exitCode;
}

#else

bool ChildProcess::Start(const std::vector<std::string> &arguments) {
    if (m_state->running)
        return false;
    std::string path = HelperPath();
    std::vector<std::string> all{path};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (auto &argument : all)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    m_state->pid = pid;
    m_state->running = true;
    return true;
}

int ChildProcess::WaitForExit(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> lock(m_state->lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_state->running) {
        int status = 0;
        pid_t waited = waitpid(m_state->pid, &status, WNOHANG);
        if (waited == m_state->pid || waited == -1) {
            m_state->running = false;
            m_state->exitCode = waited == -1          ? -2
                                : WIFEXITED(status)   ? WEXITSTATUS(status)
                                : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                      : -2;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return m_state->exitCode;
}

#endif
