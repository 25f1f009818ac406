// The library's connection to the system bus, for the BlueZ stack: one per
// process, with one bus thread that alone reads and writes it. Host threads
// hand it method calls and wait for the replies; meanwhile the thread answers
// what BlueZ asks of the library's serial-port profile (NewConnection,
// RequestDisconnection, Release) at any time, so that a call whose reply
// depends on such a question (ConnectProfile) never waits on itself.
//
// The bus thread runs while the bus has users (a probe, a search, an open
// link) and is joined when the last one leaves. The connection outlives it
// once the profile is registered, because BlueZ drops a profile when its
// connection closes; otherwise it is closed with the thread.
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

// A link waiting for, or holding, the socket BlueZ connects for one device.
// Called on the bus thread, under the bus's lock: keep it short, and never
// call the bus from inside.
class BlueZProfileClient {
  public:
    // The connected socket for the device; true when taken (the client then
    // owns fd), false to refuse it.
    virtual bool OnNewConnection(int fd) = 0;
    // BlueZ wants the link down.
    virtual void OnRequestDisconnection() = 0;

  protected:
    ~BlueZProfileClient() = default;
};

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
constexpr char kProfileManager[] = "org.bluez.ProfileManager1";
constexpr char kProfileManagerPath[] = "/org/bluez";
constexpr char kProfile[] = "org.bluez.Profile1";
constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";
constexpr char kSerialPortUuid[] = "00001101-0000-1000-8000-00805f9b34fb";
// Where the library serves its profile on its own connection.
constexpr char kProfilePath[] = "/Ostrel_lib/serial_port";
} // namespace BlueZNames

class BlueZBus {
  public:
    static BlueZBus &Instance();

    // Counts a user. The first opens the system bus (the address in
    // DBUS_SYSTEM_BUS_ADDRESS, else the standard socket) unless it is open,
    // and starts the bus thread. False, with the reason, when the D-Bus
    // library or the bus cannot be had.
    bool Acquire(DBus::Failure &failure);
    // The last user stops and joins the bus thread.
    void Release();

    // A new method call to BlueZ (no service activation), or null without the
    // library or memory.
    DBus::MessagePtr NewCall(const char *destination, const char *path, const char *interface, const char *method);
    // Sends a call built with NewCall and waits at most timeoutMs for its
    // reply. Only between Acquire and Release.
    BlueZReply Call(DBus::MessagePtr call, uint32_t timeoutMs);

    // Registers the library's serial-port client profile unless it is
    // registered on the open connection. Between Acquire and Release.
    bool EnsureProfile(DBus::Failure &failure);

    // The client for a device's object path: at most one per path.
    bool AddProfileClient(const std::string &devicePath, BlueZProfileClient *client);
    void RemoveProfileClient(const std::string &devicePath, BlueZProfileClient *client);

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
    void HandleReplyLocked(DBus::Message *message);
    void HandleProfileCallLocked(DBus::Message *call);
    void ReplyLocked(DBus::Message *call, const char *errorName, const char *errorText);
    void FailAllLocked(const char *name, const char *text);

    std::mutex m_lock; // everything below
    std::condition_variable m_replied;
    const DBus::Api *m_api = nullptr;
    DBus::Connection *m_connection = nullptr;
    std::string m_address; // of m_connection
    bool m_broken = false; // the bus went away under the connection
    bool m_profileRegistered = false;
    int m_users = 0;
    std::thread m_thread;
    bool m_stop = false;
    int m_wakeFd = -1;
    std::vector<std::shared_ptr<Request>> m_outgoing;
    std::map<uint32_t, std::shared_ptr<Request>> m_pending; // by serial
    std::map<std::string, BlueZProfileClient *> m_clients;  // by device path
};
