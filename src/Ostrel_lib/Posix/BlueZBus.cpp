#include "BlueZBus.h"

#include "GUtils.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"BlueZBus.cpp";

namespace {

constexpr char kDefaultSystemBus[] = "unix:path=/var/run/dbus/system_bus_socket";
constexpr char kErrorDisconnected[] = "org.freedesktop.DBus.Error.Disconnected";
constexpr char kErrorNoReply[] = "org.freedesktop.DBus.Error.NoReply";
constexpr char kErrorNoMemory[] = "org.freedesktop.DBus.Error.NoMemory";
constexpr char kErrorUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
// A safety net only: the thread is woken for every request.
constexpr int kPollMs = 1000;

// One lock for Acquire and Release, so that a thread being stopped is joined
// before the next one starts.
std::mutex &Lifecycle() {
    static std::mutex lock;
    return lock;
}

// Where the system bus listens, as every D-Bus client finds it.
std::string SystemBusAddress() {
    const char *configured = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return configured != nullptr && *configured != '\0' ? configured : kDefaultSystemBus;
}

DBus::Failure Failed(const char *name, const std::string &text) {
    return DBus::Failure{name, text};
}

bool Is(const char *text, const char *expected) {
    return text != nullptr && std::strcmp(text, expected) == 0;
}

} // namespace

BlueZBus &BlueZBus::Instance() {
    // Never destroyed: its thread may still run while the process exits.
    static BlueZBus *bus = new BlueZBus();
    return *bus;
}

bool BlueZBus::Acquire(DBus::Failure &failure) {
    std::lock_guard<std::mutex> lifecycle(Lifecycle());
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_users > 0) {
        if (m_broken) {
            failure = Failed(kErrorDisconnected, "the system bus went away");
            return false;
        }
        ++m_users;
        return true;
    }
    m_api = DBus::Library();
    if (m_api == nullptr) {
        failure = Failed("org.freedesktop.DBus.Error.NotSupported", "libdbus-1.so.3 cannot be loaded");
        return false;
    }
    if (!OpenConnectionLocked(failure))
        return false;
    if (m_wakeFd < 0)
        m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        failure = Failed(kErrorNoMemory, "no event descriptor for the bus thread");
        CloseConnectionLocked();
        return false;
    }
    m_stop = false;
    try {
        m_thread = std::thread(&BlueZBus::ThreadLoop, this);
    } catch (const std::exception &) {
        failure = Failed(kErrorNoMemory, "the bus thread cannot start");
        CloseConnectionLocked();
        return false;
    }
    m_users = 1;
    return true;
}

void BlueZBus::Release() {
    std::lock_guard<std::mutex> lifecycle(Lifecycle());
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_users == 0 || --m_users > 0)
        return;
    StopThread(lock);
    FailAllLocked(kErrorDisconnected, "the bus thread has stopped");
    CloseConnectionLocked();
}

bool BlueZBus::OpenConnectionLocked(DBus::Failure &failure) {
    const std::string address = SystemBusAddress();
    DBus::Error error{};
    m_api->error_init(&error);
    DBus::Connection *connection = m_api->connection_open_private(address.c_str(), &error);
    if (connection == nullptr) {
        failure = DBus::TakeError(*m_api, error);
        return false;
    }
    // The default ends the whole process when the bus goes away.
    m_api->connection_set_exit_on_disconnect(connection, 0);
    if (!m_api->bus_register(connection, &error)) {
        failure = DBus::TakeError(*m_api, error);
        m_api->connection_close(connection);
        m_api->connection_unref(connection);
        return false;
    }
    m_connection = connection;
    m_broken = false;
    return true;
}

void BlueZBus::CloseConnectionLocked() {
    if (m_connection == nullptr)
        return;
    m_api->connection_close(m_connection);
    m_api->connection_unref(m_connection);
    m_connection = nullptr;
    m_broken = false;
}

void BlueZBus::StopThread(std::unique_lock<std::mutex> &lock) {
    if (!m_thread.joinable())
        return;
    m_stop = true;
    Wake();
    std::thread thread = std::move(m_thread);
    lock.unlock();
    thread.join();
    lock.lock();
}

void BlueZBus::Wake() {
    const uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0 && errno != EAGAIN)
        OSTREL_TRACE(L"cannot wake the bus thread, errno " << errno);
}

DBus::MessagePtr BlueZBus::NewCall(const char *destination, const char *path, const char *interface,
                                   const char *method) {
    const DBus::Api *api = DBus::Library();
    if (api == nullptr)
        return nullptr;
    DBus::MessagePtr call(api->message_new_method_call(destination, path, interface, method));
    // A service that is not running is not started for the library: the
    // answer is at once that it is not there.
    if (call != nullptr)
        api->message_set_auto_start(call.get(), 0);
    return call;
}

BlueZReply BlueZBus::Call(DBus::MessagePtr call, uint32_t timeoutMs) {
    BlueZReply reply;
    if (call == nullptr) {
        reply.failure = Failed(kErrorNoMemory, "no memory for the call");
        return reply;
    }
    auto request = std::make_shared<Request>();
    request->call = std::move(call);
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_thread.joinable() || m_connection == nullptr || m_broken) {
        reply.failure = Failed(kErrorDisconnected, "not connected to the system bus");
        return reply;
    }
    m_outgoing.push_back(request);
    Wake();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    m_replied.wait_until(lock, deadline, [&] { return request->done; });
    if (!request->done) {
        // Abandoned: a late reply finds no request and is dropped.
        request->done = true;
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
            if (it->second == request) {
                m_pending.erase(it);
                break;
            }
        for (auto it = m_outgoing.begin(); it != m_outgoing.end(); ++it)
            if (*it == request) {
                m_outgoing.erase(it);
                break;
            }
        reply.failure = Failed(kErrorNoReply, "no reply within " + std::to_string(timeoutMs) + " ms");
        return reply;
    }
    return std::move(request->reply);
}

void BlueZBus::ThreadLoop() {
    // The connection and the table stay as they are while the thread runs.
    DBus::Connection *connection;
    const DBus::Api *api;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        connection = m_connection;
        api = m_api;
    }
    int busFd = -1;
    api->connection_get_unix_fd(connection, &busFd);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop)
                return;
            if (!m_broken)
                SendQueuedLocked();
        }
        api->connection_read_write(connection, 0);
        while (DBus::Message *message = api->connection_pop_message(connection))
            HandleMessage(message);
        api->connection_flush(connection);
        if (!api->connection_get_is_connected(connection)) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_broken)
                OSTREL_TRACE(L"the system bus closed the connection");
            m_broken = true;
            FailAllLocked(kErrorDisconnected, "the system bus closed the connection");
            busFd = -1; // only the wake-up is worth waiting for now
        } else if (api->connection_get_dispatch_status(connection) == DBus::kDispatchDataRemains) {
            continue;
        }
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {busFd, POLLIN, 0}};
        if (poll(fds, busFd >= 0 ? 2 : 1, kPollMs) > 0 && (fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            while (read(m_wakeFd, &count, sizeof count) > 0) {
            }
        }
    }
}

void BlueZBus::SendQueuedLocked() {
    for (std::shared_ptr<Request> &request : m_outgoing) {
        uint32_t serial = 0;
        if (m_api->connection_send(m_connection, request->call.get(), &serial)) {
            m_pending[serial] = request;
        } else {
            request->reply.failure = Failed(kErrorNoMemory, "the call cannot be queued");
            request->done = true;
            m_replied.notify_all();
        }
    }
    m_outgoing.clear();
}

void BlueZBus::HandleMessage(DBus::Message *raw) {
    DBus::MessagePtr message(raw);
    const int type = m_api->message_get_type(raw);
    std::lock_guard<std::mutex> lock(m_lock);
    if (type == DBus::kMessageMethodReturn || type == DBus::kMessageError) {
        auto it = m_pending.find(m_api->message_get_reply_serial(raw));
        if (it == m_pending.end())
            return;
        std::shared_ptr<Request> request = it->second;
        m_pending.erase(it);
        if (type == DBus::kMessageError) {
            DBus::Error error{};
            m_api->error_init(&error);
            m_api->set_error_from_message(&error, raw);
            request->reply.failure = DBus::TakeError(*m_api, error);
        } else {
            request->reply.ok = true;
        }
        request->reply.message = std::move(message);
        request->done = true;
        m_replied.notify_all();
        return;
    }
    if (type != DBus::kMessageMethodCall)
        return; // signals: none asked for
    if (Is(m_api->message_get_interface(raw), "org.freedesktop.DBus.Peer") &&
        Is(m_api->message_get_member(raw), "Ping")) {
        ReplyLocked(raw, nullptr, nullptr);
    } else {
        ReplyLocked(raw, kErrorUnknownMethod, "this object has no such method");
    }
}

void BlueZBus::ReplyLocked(DBus::Message *call, const char *errorName, const char *errorText) {
    DBus::MessagePtr reply(errorName == nullptr ? m_api->message_new_method_return(call)
                                                : m_api->message_new_error(call, errorName, errorText));
    if (reply != nullptr)
        m_api->connection_send(m_connection, reply.get(), nullptr);
}

void BlueZBus::FailAllLocked(const char *name, const char *text) {
    auto fail = [&](Request &request) {
        request.reply = BlueZReply();
        request.reply.failure = Failed(name, text);
        request.done = true;
    };
    for (std::shared_ptr<Request> &request : m_outgoing)
        fail(*request);
    for (auto &entry : m_pending)
        fail(*entry.second);
    m_outgoing.clear();
    m_pending.clear();
    m_replied.notify_all();
}
