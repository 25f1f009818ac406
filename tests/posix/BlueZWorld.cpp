#include "BlueZWorld.h"

#include "Posix/DBusLibrary.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace bluez_test {
namespace {

constexpr int kStartupMs = 60000;
constexpr int kCallTimeoutMs = 20000;

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

std::string WorldJson(const std::vector<WorldAdapter> &adapters, const std::vector<WorldDevice> &devices) {
    std::string json = "{\"unit_helper\": " + Quoted(OSTREL_SIM_FD_UNIT) + ", \"adapters\": [";
    for (size_t i = 0; i < adapters.size(); ++i) {
        json += (i > 0 ? ", " : "") + std::string("{\"name\": ") + Quoted(adapters[i].name) +
                ", \"powered\": " + (adapters[i].powered ? "true" : "false");
        if (!adapters[i].address.empty())
            json += ", \"address\": " + Quoted(adapters[i].address);
        json += "}";
    }
    json += "], \"devices\": [";
    for (size_t i = 0; i < devices.size(); ++i) {
        const WorldDevice &d = devices[i];
        json += (i > 0 ? ", " : "") + std::string("{\"adapter\": ") + Quoted(d.adapter) +
                ", \"address\": " + Quoted(d.address) + ", \"paired\": " + (d.paired ? "true" : "false") +
                ", \"connect\": " + Quoted(d.connect) + ", \"sdp\": " + Quoted(d.sdp) +
                ", \"channel\": " + std::to_string(d.channel);
        if (!d.name.empty())
            json += ", \"name\": " + Quoted(d.name);
        if (d.foundAfterMs >= 0)
            json += ", \"found_after_ms\": " + std::to_string(d.foundAfterMs);
        json += "}";
    }
    return json + "]}";
}

// One line from fd, waiting at most timeoutMs.
std::string ReadLine(int fd, int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return std::string();
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return std::string();
        if (c == '\n')
            return line;
        line += c;
    }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &arguments) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    std::vector<std::string> copies = arguments;
    std::vector<char *> argv;
    for (std::string &argument : copies)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    m_stdin = in[1];
    m_stdout = out[0];
    if (spawned == 0)
        m_pid = pid;
}

ChildProcess::~ChildProcess() {
    Finish();
    if (m_stdout >= 0)
        close(m_stdout);
}

std::string ChildProcess::ReadLine(int timeoutMs) {
    return m_stdout >= 0 ? bluez_test::ReadLine(m_stdout, timeoutMs) : std::string();
}

bool ChildProcess::WriteLine(const std::string &line) {
    const std::string text = line + "\n";
    return m_stdin >= 0 && write(m_stdin, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProcess::Finish() {
    if (m_stdin >= 0)
        close(m_stdin);
    m_stdin = -1;
    if (m_pid <= 0)
        return -1;
    int status = 0;
    for (int waited = 0; waitpid(m_pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited > 30000) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

BlueZWorld::BlueZWorld(const std::vector<WorldAdapter> &adapters, const std::vector<WorldDevice> &devices,
                       bool withBlueZ) {
    for (const char *name : {"DBUS_SYSTEM_BUS_ADDRESS", "OSTREL_TEST_BLUETOOTH_SOCKETS"}) {
        const char *value = std::getenv(name);
        m_saved.push_back({name, value != nullptr ? value : "", value != nullptr});
    }
    std::vector<std::string> arguments = {"/usr/bin/python3", OSTREL_MOCK_BLUEZ, "--world",
                                          WorldJson(adapters, devices), "--serve"};
    if (!withBlueZ)
        arguments.push_back("--no-bluez");
    m_mock = std::make_unique<ChildProcess>(arguments);
    m_address = m_mock->ReadLine(kStartupMs);
    const std::string sockets = m_mock->ReadLine(kStartupMs);
    if (sockets.empty())
        m_address.clear();
    if (!m_address.empty()) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
        setenv("OSTREL_TEST_BLUETOOTH_SOCKETS", sockets.c_str(), 1);
    }
}

BlueZWorld::~BlueZWorld() {
    // Closing its standard input takes the bus, BlueZ and the units down.
    m_mock.reset();
    for (const SavedVariable &saved : m_saved) {
        if (saved.had)
            setenv(saved.name, saved.value.c_str(), 1);
        else
            unsetenv(saved.name);
    }
}

std::string BlueZWorld::DevicePath(const WorldDevice &device) {
    std::string path = "/org/bluez/" + device.adapter + "/dev_" + device.address;
    for (char &c : path)
        if (c == ':')
            c = '_';
    return path;
}

bool BlueZWorld::CallMock(const char *method, const std::vector<std::string> &arguments,
                          std::vector<std::string> *strings) const {
    const DBus::Api *api = DBus::Library();
    if (api == nullptr || m_address.empty())
        return false;
    DBus::Error error{};
    api->error_init(&error);
    DBus::Connection *connection = api->connection_open_private(m_address.c_str(), &error);
    if (connection == nullptr) {
        std::fprintf(stderr, "%s\n", DBus::TakeError(*api, error).Text().c_str());
        return false;
    }
    api->connection_set_exit_on_disconnect(connection, 0);
    bool ok = api->bus_register(connection, &error) != 0;
    if (ok) {
        DBus::MessagePtr call(api->message_new_method_call("org.bluez", "/", "org.bluez.Mock", method));
        DBus::Writer writer(*api, call.get());
        for (size_t i = 0; i < arguments.size(); ++i)
            i == 0 ? writer.ObjectPath(arguments[i].c_str()) : writer.String(arguments[i].c_str());
        DBus::MessagePtr reply(
            api->connection_send_with_reply_and_block(connection, call.get(), kCallTimeoutMs, &error));
        ok = reply != nullptr;
        if (ok && strings != nullptr) {
            for (DBus::Reader items = DBus::Reader(*api, reply.get()).Enter(); !items.AtEnd(); items.Next())
                strings->push_back(items.Text());
        }
    }
    if (!ok)
        std::fprintf(stderr, "org.bluez.Mock.%s: %s\n", method, DBus::TakeError(*api, error).Text().c_str());
    api->connection_close(connection);
    api->connection_unref(connection);
    return ok;
}

std::vector<std::string> BlueZWorld::Events() const {
    std::vector<std::string> events;
    CallMock("Events", {}, &events);
    return events;
}

size_t BlueZWorld::CountEvents(const std::string &prefix) const {
    size_t count = 0;
    for (const std::string &event : Events())
        if (event.compare(0, prefix.size(), prefix) == 0)
            ++count;
    return count;
}

bool BlueZWorld::ForgetDevice(const WorldDevice &device) const {
    return CallMock("ForgetDevice", {DevicePath(device)}, nullptr);
}

bool BlueZWorld::Command(const std::string &line) {
    if (!m_mock->WriteLine(line))
        return false;
    const std::string answer = m_mock->ReadLine(kStartupMs);
    if (answer != "ok")
        std::fprintf(stderr, "mock_bluez.py %s: %s\n", line.c_str(), answer.c_str());
    return answer == "ok";
}

bool BlueZWorld::RestartBlueZ(bool release) {
    return Command(std::string("restart ") + (release ? "release" : "kill"));
}

bool BlueZWorld::Set(const WorldDevice &device, const std::string &key, const std::string &value) {
    return Command("set " + device.address + " " + key + " " + value);
}

bool BlueZWorld::KillUnits(const WorldDevice &device) {
    return Command("kill-units " + device.address);
}

} // namespace bluez_test
