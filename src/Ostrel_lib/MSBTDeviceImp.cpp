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

constexpr uint32_t kReaderStackSize = 4096;
constexpr int kReaderBlockSize = 3000;
constexpr uint32_t kReaderPollMs = 10;
// A stack should end a waiting receive when its socket is shut down; one that
// does not is given this long before the socket is closed under the receive.
constexpr uint32_t kReaderShutdownWaitMs = 2000;
constexpr uint32_t kRetryPauseMs = 1000;
// Winsock's "socket is not connected", reported for a send on a link that ended.
constexpr int kErrorNotConnected = 10057;

// PortData is the platform's Bluetooth device record; its 64-bit address
// sits at bytes 8 to 15, least significant byte first.
constexpr int32_t kAddressOffset = 8;
constexpr int32_t kAddressEnd = kAddressOffset + 8;

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
        OSTREL_TRACE(L"Error opening Bluetooth device with id " << m_owner->m_portRef.GetDeviceName());
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
    link.ended = false;
    if (callback == nullptr || context == nullptr || address == nullptr)
        return kFailed;

    const RfcommSocketApi &api = *link.sockets;
    const RfcommSocketHandle s = api.open();
    if (s == kInvalidSocket) {
        const int error = api.lastError();
        OSTREL_TRACE(L"\nsocket function call failed with error " << error << L".");
        return kFailed;
    }
    link.socket = s;

    if (api.connectSerialPort(s, *address) != 0) {
        const int error = api.lastError();
        std::wostringstream text;
        const bool tracing = IsTraceEnabled();
        if (tracing) {
            text << L"\nconnect call failed" << error << L"\n SOCKET ID:" << static_cast<uintptr_t>(s);
            TraceLine(kTraceModule, __LINE__, text.str());
        }
        link.socket = kInvalidSocket;
        const int closed = api.close(s);
        if (tracing) {
            text << L"\n CLOSING SOCKET:" << closed;
            TraceLine(kTraceModule, __LINE__, text.str());
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
    // The reader's own socket for its whole life: disconnect closes it only
    // after the reader has ended, so the value cannot meanwhile name another
    // connection's socket.
    const RfcommSocketHandle s = link.socket.load();
    uint8_t block[kReaderBlockSize];
    int n = 0;
    while (!link.stopping.load() && (n = api.recv(s, block, kReaderBlockSize)) > 0) {
        if (link.receiveCallback != nullptr)
            link.receiveCallback(block, n, link.receiveContext);
    }
    const int error = api.lastError();
    if (!link.stopping.load())
        link.ended = true;
    OSTREL_TRACE(L"Read Failed" << error);
    // Last touch of the record: disconnect may free it right after.
    link.readerRunning = false;
    return 0;
}

bool MSBTDeviceImp::WaitForReader(uint32_t timeoutMs) {
    MSBTConnection &link = *m_connection;
    const uint32_t start = Platform::GetTickCount();
    while (link.readerRunning.load()) {
        if (timeoutMs != Platform::kInfinite && Platform::GetTickCount() - start >= timeoutMs)
            return false;
        Platform::Sleep(kReaderPollMs);
    }
    return true;
}

void MSBTDeviceImp::Disconnect() {
    if (m_connection == nullptr)
        return;
    MSBTConnection &link = *m_connection;
    const RfcommSocketApi &api = *link.sockets;
    const RfcommSocketHandle s = link.socket.load();
    // Shut down, wait for the reader, and only then close: a closed handle's
    // value may go to the next socket the system makes, and a reader still
    // about to receive would then read another connection's bytes.
    bool closed = false;
    int closeResult = 0;
    if (link.readerThread) {
        link.stopping = true;
        if (s != kInvalidSocket)
            api.shutdown(s);
        if (!WaitForReader(kReaderShutdownWaitMs) && s != kInvalidSocket) {
            // The receive did not end: closing the socket ends it. The reader
            // has been inside that receive all along and, told to stop, does
            // not receive again.
            closeResult = api.close(s);
            closed = true;
        }
        WaitForReader(Platform::kInfinite);
        link.readerThread = false;
        link.stopping = false;
    }
    if (s != kInvalidSocket) {
        if (!closed)
            closeResult = api.close(s);
        link.socket = kInvalidSocket;
        OSTREL_TRACE(L"\n CLOSING SOCKET:" << closeResult);
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
    // A stack may take bytes into a link whose receive side has ended, and a
    // host would then wait for an answer that cannot come; refused at once.
    if (m_connection->ended.load()) {
        OSTREL_TRACE(L"Send Failed" << kErrorNotConnected);
        *count = 0;
        return kFailed;
    }
    // Sent also without a link: the socket call then fails and says why.
    if (api.send(m_connection->socket.load(), bytes, *count) < 0) {
        const int error = api.lastError();
        OSTREL_TRACE(L"Send Failed" << error);
        *count = 0;
        return kFailed;
    }
    return 0;
}

IBTDevice *CreateMSBTDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) MSBTDeviceImp(owner);
}
