#include "BlueZDeviceImp.h"

#include "BlueZPortRecord.h"
#include "GBluetoothDevice.h"
#include "GUtils.h"
#include "Platform.h"

#include <cerrno>
#include <chrono>
#include <new>

#include <sys/socket.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"BlueZDeviceImp.cpp";

namespace {

constexpr int32_t kFailed = -1;
constexpr int kReceiveBlockSize = 3000;
// BlueZ pages the unit, looks up its serial port and connects: allow what a
// slow or distant unit needs.
constexpr uint32_t kConnectTimeoutMs = 30000;
// BlueZ hands the socket over before ConnectProfile returns; this only
// covers a reply that overtakes it.
constexpr uint32_t kHandOverMs = 2000;
constexpr uint32_t kDisconnectTimeoutMs = 10000;
constexpr char kErrorAlreadyConnected[] = "org.bluez.Error.AlreadyConnected";

std::wstring Wide(const std::string &text) {
    return WidenText(text);
}

BlueZReply CallProfileMethod(const std::string &devicePath, const char *method, uint32_t timeoutMs) {
    BlueZBus &bus = BlueZBus::Instance();
    DBus::MessagePtr call = bus.NewCall(BlueZNames::kService, devicePath.c_str(), BlueZNames::kDevice, method);
    if (call != nullptr && !DBus::Writer(*DBus::Library(), call.get()).String(BlueZNames::kSerialPortUuid).Ok())
        call.reset();
    return bus.Call(std::move(call), timeoutMs);
}

void CloseDescriptor(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

bool BlueZLink::OnNewConnection(int socket) {
    std::lock_guard<std::mutex> guard(lock);
    if (!awaiting || handedFd >= 0 || fd >= 0)
        return false;
    handedFd = socket;
    handed.notify_all();
    return true;
}

void BlueZLink::OnRequestDisconnection() {
    std::lock_guard<std::mutex> guard(lock);
    // The receive thread sees the end of the stream and ends the link; the
    // socket itself is closed by the device's own Close.
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    CloseDescriptor(handedFd);
}

BlueZDeviceImp::BlueZDeviceImp(GBluetoothDevice *owner) : m_owner(owner) {}

BlueZDeviceImp::~BlueZDeviceImp() {
    if (m_owner != nullptr && m_owner->m_isOpen)
        m_owner->Close();
    OSUninitialize();
}

bool BlueZDeviceImp::OSInitialize() {
    if (m_link == nullptr)
        m_link = new (std::nothrow) BlueZLink();
    return true;
}

void BlueZDeviceImp::OSUninitialize() {
    if (m_link == nullptr)
        return;
    Disconnect();
    delete m_link;
    m_link = nullptr;
}

int32_t BlueZDeviceImp::Open(void *) {
    if (m_link == nullptr || m_owner == nullptr)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    const int32_t result = Connect();
    m_owner->ReleasePortLock();
    if (result != 0)
        OSTREL_TRACE(L"Error opening Bluetooth device with id " << m_owner->m_portRef.GetDeviceName());
    return result;
}

int32_t BlueZDeviceImp::Connect() {
    BlueZLink &link = *m_link;
    // A second Open replaces the link.
    Disconnect();
    link.receiveCallback = m_owner->m_receiveCallback;
    link.receiveContext = m_owner->m_receiveContext;
    if (link.receiveCallback == nullptr || link.receiveContext == nullptr)
        return kFailed;
    std::string devicePath;
    if (!BlueZPortRecord::ObjectPathOf(m_owner->m_portRef, devicePath)) {
        OSTREL_TRACE(L"the port carries no BlueZ device");
        return kFailed;
    }

    BlueZBus &bus = BlueZBus::Instance();
    DBus::Failure failure;
    if (!bus.Acquire(failure)) {
        OSTREL_TRACE(L"no system bus: " << Wide(failure.Text()));
        return kFailed;
    }
    link.holdsBus = true;
    link.devicePath = devicePath;
    if (!bus.EnsureProfile(failure)) {
        OSTREL_TRACE(L"RegisterProfile failed: " << Wide(failure.Text()));
        LeaveBus();
        return kFailed;
    }
    if (!bus.AddProfileClient(devicePath, &link)) {
        OSTREL_TRACE(L"another link of this process holds " << Wide(devicePath));
        link.devicePath.clear();
        LeaveBus();
        return kFailed;
    }

    const int fd = TakeConnectedSocket();
    if (fd < 0) {
        LeaveBus();
        return kFailed;
    }
    {
        std::lock_guard<std::mutex> guard(link.lock);
        link.fd = fd;
    }
    link.dropped = false;
    try {
        link.receiver = std::thread(&BlueZDeviceImp::Receive, &link);
    } catch (const std::exception &) {
        OSTREL_TRACE(L"the receive thread cannot start");
        Disconnect();
        return kFailed;
    }
    return 0;
}

int BlueZDeviceImp::TakeConnectedSocket() {
    BlueZLink &link = *m_link;
    {
        std::lock_guard<std::mutex> guard(link.lock);
        link.awaiting = true;
    }
    BlueZReply reply = CallProfileMethod(link.devicePath, "ConnectProfile", kConnectTimeoutMs);
    if (!reply.ok && reply.failure.name == kErrorAlreadyConnected) {
        // Left connected by an earlier user of the unit: take it down once
        // and connect afresh.
        CallProfileMethod(link.devicePath, "DisconnectProfile", kDisconnectTimeoutMs);
        reply = CallProfileMethod(link.devicePath, "ConnectProfile", kConnectTimeoutMs);
    }
    std::unique_lock<std::mutex> guard(link.lock);
    if (reply.ok)
        link.handed.wait_for(guard, std::chrono::milliseconds(kHandOverMs), [&] { return link.handedFd >= 0; });
    link.awaiting = false;
    int fd = link.handedFd;
    link.handedFd = -1;
    guard.unlock();
    if (!reply.ok) {
        OSTREL_TRACE(L"ConnectProfile failed on " << Wide(link.devicePath) << L": " << Wide(reply.failure.Text()));
        // A socket handed over before the failure is of no use.
        CloseDescriptor(fd);
        return -1;
    }
    if (fd < 0) {
        OSTREL_TRACE(L"ConnectProfile on " << Wide(link.devicePath) << L" handed over no connection");
        CallProfileMethod(link.devicePath, "DisconnectProfile", kDisconnectTimeoutMs);
    }
    return fd;
}

void BlueZDeviceImp::Receive(BlueZLink *link) {
    Platform::SetCurrentThreadPriority(Platform::kThreadPriorityTimeCritical);
    // The socket stays open until this thread has been joined.
    const int fd = link->fd;
    uint8_t block[kReceiveBlockSize];
    ssize_t n;
    for (;;) {
        n = recv(fd, block, sizeof block, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        link->receiveCallback(block, static_cast<int32_t>(n), link->receiveContext);
    }
    const int error = n < 0 ? errno : 0;
    link->dropped = true;
    OSTREL_TRACE(L"Read Failed" << error);
}

void BlueZDeviceImp::Disconnect() {
    if (m_link == nullptr)
        return;
    BlueZLink &link = *m_link;
    {
        std::lock_guard<std::mutex> guard(link.lock);
        if (link.fd >= 0)
            shutdown(link.fd, SHUT_RDWR); // ends the pending receive
    }
    if (link.receiver.joinable())
        link.receiver.join();
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> guard(link.lock);
        if (link.fd >= 0) {
            const int closed = close(link.fd);
            OSTREL_TRACE(L"\n CLOSING SOCKET:" << closed);
            wasConnected = true;
        }
        link.fd = -1;
        CloseDescriptor(link.handedFd);
    }
    link.dropped = true;
    if (wasConnected) {
        // BlueZ keeps its side of the link until the profile is disconnected.
        BlueZReply reply = CallProfileMethod(link.devicePath, "DisconnectProfile", kDisconnectTimeoutMs);
        if (!reply.ok)
            OSTREL_TRACE(L"DisconnectProfile failed on " << Wide(link.devicePath) << L": "
                                                         << Wide(reply.failure.Text()));
    }
    LeaveBus();
}

void BlueZDeviceImp::LeaveBus() {
    BlueZLink &link = *m_link;
    if (!link.devicePath.empty())
        BlueZBus::Instance().RemoveProfileClient(link.devicePath, &link);
    link.devicePath.clear();
    if (link.holdsBus)
        BlueZBus::Instance().Release();
    link.holdsBus = false;
}

int32_t BlueZDeviceImp::Close() {
    if (m_link == nullptr || m_owner == nullptr)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    Disconnect();
    m_owner->ReleasePortLock();
    return 0;
}

int32_t BlueZDeviceImp::ClearIO() {
    return m_link != nullptr ? 0 : kFailed;
}

int32_t BlueZDeviceImp::GetStatus() {
    return 0;
}

int32_t BlueZDeviceImp::Read(uint8_t *, int32_t *, int32_t) {
    return kFailed;
}

int32_t BlueZDeviceImp::Write(const uint8_t *bytes, int32_t *count) {
    if (m_link == nullptr || count == nullptr)
        return kFailed;
    // The descriptor changes only on this thread (Open, Close).
    const int fd = m_link->fd;
    int error = ENOTCONN;
    bool sent = fd >= 0 && !m_link->dropped && (*count == 0 || bytes != nullptr) && *count >= 0;
    for (int32_t done = 0; sent && done < *count;) {
        const ssize_t n = send(fd, bytes + done, static_cast<size_t>(*count - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EPIPE;
            sent = false;
            break;
        }
        done += static_cast<int32_t>(n);
    }
    if (!sent) {
        OSTREL_TRACE(L"Send Failed" << error);
        *count = 0;
        return kFailed;
    }
    return 0;
}

IBTDevice *CreateBlueZDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) BlueZDeviceImp(owner);
}
