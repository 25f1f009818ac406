#include "BlueZDeviceImp.h"

#include "BlueZBus.h"
#include "BlueZObjects.h"
#include "BlueZPortRecord.h"
#include "BluetoothSocket.h"
#include "GBluetoothDevice.h"
#include "GUtils.h"
#include "Platform.h"
#include "SdpQuery.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"BlueZDeviceImp.cpp";

namespace {

using BluetoothSocket::Address;

constexpr int32_t kFailed = -1;
constexpr int kReceiveBlockSize = 3000;
// A safety net: the controller's page time-out (about 5 s) usually ends a
// connect to a unit out of reach first.
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kSdpAnswerMs = 10000;
// How long a send waits for room while the unit does not take data.
constexpr uint32_t kSendRoomMs = 2000;
// A connect refused on a link that was just encrypted is tried once more:
// the unit may have checked the link's security before it was complete.
constexpr uint32_t kRefusedRetryMs = 500;

std::wstring Text(const Address &address) {
    return WidenText(BluetoothSocket::AddressText(address));
}

using BluetoothSocket::ErrorText;

// Sends every byte, waiting up to kSendRoomMs whenever the socket has no
// room. False with the error number otherwise.
bool SendAll(int fd, const uint8_t *bytes, size_t count, int &error) {
    for (size_t done = 0; done < count;) {
        const ssize_t n = send(fd, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && BluetoothSocket::WaitFor(fd, POLLOUT, kSendRoomMs))
            continue;
        error = n < 0 ? errno : EPIPE;
        return false;
    }
    return true;
}

// Whether BlueZ has the unit paired with the adapter chosen.
enum class Pairing { Unknown, Paired, NotPaired };

// The adapter to reach the unit from, as BlueZ knows it now; without an
// answer from BlueZ, the one where the search found the unit.
bool ChooseAdapter(const Address &unit, const Address &remembered, Address &adapter, Pairing &pairing) {
    BlueZBusUse bus;
    std::vector<BlueZObject> objects;
    pairing = Pairing::Unknown;
    if (!bus.Ok())
        OSTREL_TRACE(L"no system bus: " << WidenText(bus.failure.Text()));
    if (!bus.Ok() || !ReadBlueZObjects(objects)) {
        adapter = remembered;
        return true;
    }
    if (!AdapterFor(objects, unit, remembered, adapter)) {
        OSTREL_TRACE(L"no powered Bluetooth adapter to reach " << Text(unit));
        return false;
    }
    Address known{};
    const BlueZObject *entry = BestDeviceEntry(objects, unit);
    if (entry != nullptr && AdapterOf(objects, *entry, known) != nullptr && known == adapter)
        pairing = entry->paired ? Pairing::Paired : Pairing::NotPaired;
    return true;
}

// Asks the unit's SDP server for its serial port: the RFCOMM channel, 0
// when the unit has none, -1 when the query fails.
int SerialPortChannel(int fd, const Address &unit) {
    SdpSerialPortQuery query;
    std::vector<uint8_t> pdu(SdpSerialPortQuery::kMaxPduSize + 1);
    for (;;) {
        const std::vector<uint8_t> request = query.NextRequest();
        int error = 0;
        if (!SendAll(fd, request.data(), request.size(), error)) {
            OSTREL_TRACE(L"SDP request to " << Text(unit) << L" failed: " << ErrorText(error));
            return -1;
        }
        ssize_t n;
        do {
            if (!BluetoothSocket::WaitFor(fd, POLLIN, kSdpAnswerMs)) {
                OSTREL_TRACE(L"no SDP answer from " << Text(unit) << L": " << ErrorText(errno));
                return -1;
            }
            n = recv(fd, pdu.data(), pdu.size(), 0);
        } while (n < 0 && (errno == EINTR || errno == EAGAIN));
        if (n <= 0) {
            OSTREL_TRACE(L"the SDP channel of " << Text(unit) << L" ended: " << ErrorText(n < 0 ? errno : ECONNRESET));
            return -1;
        }
        switch (query.Take(pdu.data(), static_cast<size_t>(n))) {
        case SdpParse::NeedMore:
            continue;
        case SdpParse::Invalid:
            OSTREL_TRACE(L"SDP query of " << Text(unit) << L" failed: " << WidenText(query.Problem()));
            return -1;
        case SdpParse::Valid:
            return query.Channel();
        }
    }
}

int ConnectSerialPort(const Address &adapter, const Address &unit, uint8_t channel, Pairing pairing) {
    int fd = BluetoothSocket::ConnectRfcomm(adapter, unit, channel, kConnectTimeoutMs);
    if (fd < 0 && errno == ECONNREFUSED) {
        Platform::Sleep(kRefusedRetryMs);
        fd = BluetoothSocket::ConnectRfcomm(adapter, unit, channel, kConnectTimeoutMs);
    }
    if (fd >= 0) {
        OSTREL_TRACE(L"connected to " << Text(unit) << L" channel " << static_cast<int>(channel) << L" from "
                                      << Text(adapter));
        return fd;
    }
    const int error = errno;
    // The link needs the pairing's key; without one the kernel's request to
    // pair is turned down.
    if (pairing == Pairing::NotPaired && (error == ECONNREFUSED || error == EACCES))
        OSTREL_TRACE(L"the unit at " << Text(unit) << L" is not paired with the adapter " << Text(adapter)
                                     << L": pair it first");
    return -1;
}

// The connected serial port of the unit, or -1.
int ConnectUnit(const Address &adapter, const Address &unit, Pairing pairing) {
    const int sdp = BluetoothSocket::ConnectSdp(adapter, unit, kConnectTimeoutMs);
    if (sdp < 0) {
        OSTREL_TRACE(L"SDP connect to " << Text(unit) << L" from " << Text(adapter) << L" failed: "
                                        << ErrorText(errno));
        return -1;
    }
    const int channel = SerialPortChannel(sdp, unit);
    if (channel == 0)
        OSTREL_TRACE(L"the unit at " << Text(unit) << L" has no serial-port service");
    // The SDP channel stays open until the serial port is connected: it
    // keeps the baseband link up, which the RFCOMM connect then uses.
    const int fd = channel > 0 ? ConnectSerialPort(adapter, unit, static_cast<uint8_t>(channel), pairing) : -1;
    close(sdp);
    return fd;
}

} // namespace

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
    Address unit{}, remembered{}, adapter{};
    if (!BlueZPortRecord::Decode(m_owner->m_portRef, unit, remembered)) {
        OSTREL_TRACE(L"the port carries no BlueZ unit");
        return kFailed;
    }
    Pairing pairing;
    if (!ChooseAdapter(unit, remembered, adapter, pairing))
        return kFailed;
    link.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (link.wakeFd < 0) {
        OSTREL_TRACE(L"no event descriptor for the receive thread: " << ErrorText(errno));
        return kFailed;
    }
    link.fd = ConnectUnit(adapter, unit, pairing);
    if (link.fd < 0) {
        Disconnect();
        return kFailed;
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

void BlueZDeviceImp::Receive(BlueZLink *link) {
    Platform::SetCurrentThreadPriority(Platform::kThreadPriorityTimeCritical);
    uint8_t block[kReceiveBlockSize];
    int error = 0;
    for (;;) {
        pollfd ready[2] = {{link->fd, POLLIN, 0}, {link->wakeFd, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (ready[1].revents != 0)
            break; // Close
        if (ready[0].revents == 0)
            continue;
        const ssize_t n = recv(link->fd, block, sizeof block, 0);
        if (n > 0) {
            link->receiveCallback(block, static_cast<int32_t>(n), link->receiveContext);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        error = n < 0 ? errno : 0;
        break;
    }
    link->dropped = true;
    OSTREL_TRACE(L"Read Failed" << error);
}

void BlueZDeviceImp::Disconnect() {
    if (m_link == nullptr)
        return;
    BlueZLink &link = *m_link;
    if (link.receiver.joinable()) {
        const uint64_t one = 1;
        if (write(link.wakeFd, &one, sizeof one) < 0)
            OSTREL_TRACE(L"cannot wake the receive thread: " << ErrorText(errno));
        link.receiver.join();
    }
    if (link.fd >= 0) {
        const int closed = close(link.fd);
        OSTREL_TRACE(L"\n CLOSING SOCKET:" << closed);
    }
    if (link.wakeFd >= 0)
        close(link.wakeFd);
    link.fd = -1;
    link.wakeFd = -1;
    link.dropped = true;
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
    const bool sendable = fd >= 0 && !m_link->dropped && *count >= 0 && (*count == 0 || bytes != nullptr);
    if (!sendable || !SendAll(fd, bytes, static_cast<size_t>(*count), error)) {
        OSTREL_TRACE(L"Send Failed" << error);
        *count = 0;
        return kFailed;
    }
    return 0;
}

IBTDevice *CreateBlueZDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) BlueZDeviceImp(owner);
}
