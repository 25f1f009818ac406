// The library's connection to the system bus, for the BlueZ stack: one per
// process, with one bus thread that alone reads and writes it. Host threads
// hand it method calls and wait for the replies. The library registers
// nothing with BlueZ (its links are sockets of its own), so the connection
// holds no state worth keeping: it is opened by the first user (a probe, a
// search, the look-up of an open) and closed with the bus thread when the
// last one leaves. A restart of BlueZ between two uses is thus never seen.
#pragma once

#include "DBusLibrary.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The outcome of one method call.
struct BlueZReply {
    bool ok = false;
    DBus::Failure failure; // when !ok
    DBus::MessagePtr message;
};

namespace BlueZNames {
constexpr char kService[] = "org.bluez";
constexpr char kAdapter[] = "org.bluez.Adapter1";
constexpr char kDevice[] = "org.bluez.Device1";
constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
} // namespace BlueZNames

class BlueZBus {
  public:
    static BlueZBus &Instance();

    // Counts a user. The first opens the system bus (the address in
    // DBUS_SYSTEM_BUS_ADDRESS, else the standard socket) and starts the bus
    // thread. False, with the reason, when the D-Bus
    // library or the bus cannot be had.
    bool Acquire(DBus::Failure &failure);
    // The last user stops and joins the bus thread and closes the
    // connection.
    void Release();

    // A new method call to BlueZ (no service activation), or null without the
    // library or memory.
    DBus::MessagePtr NewCall(const char *destination, const char *path, const char *interface, const char *method);
    // Sends a call built with NewCall and waits at most timeoutMs for its
    // reply. Only between Acquire and Release.
    BlueZReply Call(DBus::MessagePtr call, uint32_t timeoutMs);

  private:
    struct Request {
        DBus::MessagePtr call;
        BlueZReply reply;
        bool done = false;
    };

    BlueZBus() = default;
    bool OpenConnectionLocked(DBus::Failure &failure);
    void CloseConnectionLocked();
    void StopThread(std::unique_lock<std::mutex> &lock);
    void Wake();
    void ThreadLoop();
    void SendQueuedLocked();
    void HandleMessage(DBus::Message *message);
    void ReplyLocked(DBus::Message *call, const char *errorName, const char *errorText);
    void FailAllLocked(const char *name, const char *text);

    std::mutex m_lock; // everything below
    std::condition_variable m_replied;
    const DBus::Api *m_api = nullptr;
    DBus::Connection *m_connection = nullptr;
    bool m_broken = false; // the bus went away under the connection
    int m_users = 0;
    std::thread m_thread;
    bool m_stop = false;
    int m_wakeFd = -1;
    std::vector<std::shared_ptr<Request>> m_outgoing;
    std::map<uint32_t, std::shared_ptr<Request>> m_pending; // by serial
};

// One user of the bus for the life of the object.
class BlueZBusUse {
  public:
    BlueZBusUse() : m_ok(BlueZBus::Instance().Acquire(failure)) {}
    ~BlueZBusUse() {
        if (m_ok)
            BlueZBus::Instance().Release();
    }
    BlueZBusUse(const BlueZBusUse &) = delete;
    BlueZBusUse &operator=(const BlueZBusUse &) = delete;
    bool Ok() const { return m_ok; }

    DBus::Failure failure; // when !Ok()

  private:
    bool m_ok;
};
