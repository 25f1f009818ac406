#include "MSBTDeviceImp.h"

#include "GBluetoothDevice.h"
#include "GUtils.h"
#include "Platform.h"

#include <new>
#include <sstream>
#include <string>

static const wchar_t kTraceModule[] = L"MSBTDeviceImp.cpp";

namespace {

constexpr int32_t kFailed = -1;

// The line numbers these messages have always carried; log readers key on
// them.
constexpr int kLineReadFailed = 86;
constexpr int kLineSocketFailed = 160;
constexpr int kLineConnectFailed = 168;
constexpr int kLineConnectFailedClosed = 172;
constexpr int kLineClosingSocket = 203;
constexpr int kLineOpenFailed = 277;
constexpr int kLineSendFailed = 376;

constexpr uint32_t kReaderStackSize = 4096;
constexpr int kReaderBlockSize = 3000;
constexpr uint32_t kReaderPollMs = 10;
constexpr uint32_t kRetryPauseMs = 1000;

// PortData is the platform's Bluetooth device record; its 64-bit address
// sits at bytes 8 to 15, least significant byte first.
constexpr int32_t kAddressOffset = 8;
constexpr int32_t kAddressEnd = kAddressOffset + 8;

void Trace(int line, const std::wstring &message) {
    TraceIfEnabled(message, kTraceModule, line);
}

// False when PortData is too short to hold the address.
bool AddressOf(const GPortRef &port, uint64_t &address) {
    const uint8_t *data = port.GetPortData();
    if (data == nullptr || port.GetPortDataLength() < kAddressEnd)
        return false;
    address = 0;
    for (int32_t i = kAddressEnd - 1; i >= kAddressOffset; --i)
        address = (address << 8) | data[i];
    return true;
}

// Three tries, 1 s apart, on systems older than major version 5; one try on
// later ones and when the version cannot be read.
int OpenAttempts() {
    Platform::OsVersion version;
    if (!Platform::GetOsVersion(version))
        return 1;
    return version.major < 5 ? 3 : 1;
}

} // namespace

MSBTDeviceImp::MSBTDeviceImp(GBluetoothDevice *owner) : m_owner(owner) {}

MSBTDeviceImp::~MSBTDeviceImp() {
    if (m_owner != nullptr && m_owner->m_isOpen)
        m_owner->Close();
    OSUninitialize();
}

bool MSBTDeviceImp::OSInitialize() {
    // A second call keeps the record: replacing it would orphan a live link.
    if (m_connection == nullptr) {
        m_connection = new (std::nothrow) MSBTConnection();
        if (m_connection != nullptr)
            m_connection->sockets = &RfcommSockets();
    }
    return true;
}

void MSBTDeviceImp::OSUninitialize() {
    if (m_connection == nullptr)
        return;
    Disconnect();
    delete m_connection;
    m_connection = nullptr;
}

int32_t MSBTDeviceImp::Open(void *) {
    if (m_connection == nullptr || m_owner == nullptr)
        return kFailed;
    const int attempts = OpenAttempts();
    for (int attempt = 1;; ++attempt) {
        if (!m_owner->TakePortLock())
            return kFailed;
        uint64_t address = 0;
        const bool haveAddress = AddressOf(m_owner->m_portRef, address);
        const int32_t result = Connect(m_owner->m_receiveCallback, m_owner->m_receiveContext, m_owner->m_portRef,
                                       haveAddress ? &address : nullptr);
        m_owner->ReleasePortLock();
        if (result == 0)
            return 0;
        Trace(kLineOpenFailed, L"Error opening Bluetooth device with id " + m_owner->m_portRef.GetDeviceName());
        // Another try cannot find an address that is not there.
        if (!haveAddress || attempt >= attempts)
            return kFailed;
        Platform::Sleep(kRetryPauseMs);
    }
}

int32_t MSBTDeviceImp::Connect(ReceiveCallback callback, void *context, const GPortRef &port, const uint64_t *address) {
    MSBTConnection &link = *m_connection;
    // A second Open replaces the link; the old reader must be gone before the
    // fields it reads change.
    Disconnect();
    link.receiveCallback = callback;
    link.receiveContext = context;
    link.portRef = port;
    if (callback == nullptr || context == nullptr || address == nullptr)
        return kFailed;

    const RfcommSocketApi &api = *link.sockets;
    const RfcommSocketHandle s = api.open();
    if (s == kInvalidSocket) {
        const int error = api.lastError();
        if (IsTraceEnabled()) {
            std::wostringstream text;
            text << L"\nsocket function call failed with error " << error << L".";
            Trace(kLineSocketFailed, text.str());
        }
        return kFailed;
    }
    link.socket = s;

    if (api.connectSerialPort(s, *address) != 0) {
        const int error = api.lastError();
        std::wostringstream text;
        const bool tracing = IsTraceEnabled();
        if (tracing) {
            text << L"\nconnect call failed" << error << L"\n SOCKET ID:" << static_cast<uintptr_t>(s);
            Trace(kLineConnectFailed, text.str());
        }
        link.socket = kInvalidSocket;
        const int closed = api.close(s);
        if (tracing) {
            text << L"\n CLOSING SOCKET:" << closed;
            Trace(kLineConnectFailedClosed, text.str());
        }
        return kFailed;
    }

    // Marked running before the thread exists: a disconnect right after this
    // must wait for the reader even if it has not been scheduled yet.
    link.readerRunning = true;
    if (!Platform::StartThread(&MSBTDeviceImp::ReaderThread, &link, Platform::kThreadPriorityTimeCritical,
                               kReaderStackSize)) {
        link.readerRunning = false;
        Disconnect();
        return kFailed;
    }
    link.readerThread = true;
    return 0;
}

uint32_t MSBTDeviceImp::ReaderThread(void *record) {
    MSBTConnection &link = *static_cast<MSBTConnection *>(record);
    const RfcommSocketApi &api = *link.sockets;
    uint8_t block[kReaderBlockSize];
    // The socket is read afresh for every receive: once disconnect has marked
    // it invalid, the next receive fails instead of using a closed handle.
    int n = api.recv(link.socket.load(), block, kReaderBlockSize);
    while (n > 0) {
        if (link.receiveCallback != nullptr)
            link.receiveCallback(block, n, link.receiveContext);
        n = api.recv(link.socket.load(), block, kReaderBlockSize);
    }
    const int error = api.lastError();
    if (IsTraceEnabled()) {
        std::wostringstream text;
        text << L"Read Failed" << error;
        Trace(kLineReadFailed, text.str());
    }
    // Last touch of the record: disconnect may free it right after.
    link.readerRunning = false;
    return 0;
}

void MSBTDeviceImp::Disconnect() {
    if (m_connection == nullptr)
        return;
    MSBTConnection &link = *m_connection;
    // Invalidated before it is closed, so the reader never picks up a handle
    // that is already closed (and might be reused by another socket).
    const RfcommSocketHandle s = link.socket.exchange(kInvalidSocket);
    if (s != kInvalidSocket) {
        const int closed = link.sockets->close(s);
        if (IsTraceEnabled()) {
            std::wostringstream text;
            text << L"\n CLOSING SOCKET:" << closed;
            Trace(kLineClosingSocket, text.str());
        }
    }
    if (link.readerThread) {
        // Closing the socket ends the reader's pending receive.
        while (link.readerRunning.load())
            Platform::Sleep(kReaderPollMs);
        link.readerThread = false;
    }
}

int32_t MSBTDeviceImp::Close() {
    if (m_connection == nullptr || m_owner == nullptr)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    Disconnect();
    m_owner->ReleasePortLock();
    return 0;
}

int32_t MSBTDeviceImp::ClearIO() {
    if (m_connection == nullptr)
        return kFailed;
    // Nothing is buffered on this side; the lock only keeps the call shape of
    // the other operations.
    if (m_owner != nullptr && m_owner->TakePortLock())
        m_owner->ReleasePortLock();
    return 0;
}

int32_t MSBTDeviceImp::GetStatus() {
    return 0;
}

int32_t MSBTDeviceImp::Read(uint8_t *, int32_t *, int32_t) {
    return kFailed;
}

int32_t MSBTDeviceImp::Write(const uint8_t *bytes, int32_t *count) {
    if (m_connection == nullptr || count == nullptr)
        return kFailed;
    const RfcommSocketApi &api = *m_connection->sockets;
    // Sent also without a link: the socket call then fails and says why.
    if (api.send(m_connection->socket.load(), bytes, *count) < 0) {
        const int error = api.lastError();
        if (IsTraceEnabled()) {
            std::wostringstream text;
            text << L"Send Failed" << error;
            Trace(kLineSendFailed, text.str());
        }
        *count = 0;
        return kFailed;
    }
    return 0;
}

IBTDevice *CreateMSBTDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) MSBTDeviceImp(owner);
}
