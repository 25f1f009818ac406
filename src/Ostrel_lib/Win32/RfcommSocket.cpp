// Bluetooth RFCOMM sockets through Winsock. Winsock is started once, on the
// first socket, and left running for the life of the process: stopping it
// from the module's unload would run inside the loader lock.
#include "RfcommSocket.h"

#include <atomic>

// clang-format off
#include <winsock2.h>
#include <ws2bth.h>
#include <bthdef.h>
// clang-format on

static_assert(sizeof(SOCKADDR_BTH) == 30, "the Bluetooth socket address the system expects");
static_assert(sizeof(SOCKET) == sizeof(RfcommSocketHandle), "a socket fits the portable handle");

namespace {

// The Serial Port Profile service class, 00001101-0000-1000-8000-00805F9B34FB.
const GUID kSerialPortServiceClass = {0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

std::atomic<SocketConnectFunction> g_connectForTesting{nullptr};

// WSAStartup's result (0 when Winsock runs). Function-local statics start
// once, whichever thread comes first.
int StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

SOCKET ToSocket(RfcommSocketHandle handle) {
    return static_cast<SOCKET>(handle);
}

RfcommSocketHandle Open() {
    const int started = StartWinsock();
    if (started != 0) {
        // So that lastError tells why no socket could be made.
        WSASetLastError(started);
        return kInvalidSocket;
    }
    const SOCKET s = socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<RfcommSocketHandle>(s);
}

int ConnectSerialPort(RfcommSocketHandle handle, uint64_t address) {
    SOCKADDR_BTH target{};
    target.addressFamily = AF_BTH;
    target.btAddr = address;
    target.serviceClassId = kSerialPortServiceClass;
    // Any channel: the system looks the channel up from the service class.
    target.port = BT_PORT_ANY;
    if (SocketConnectFunction connectForTesting = g_connectForTesting.load())
        return connectForTesting(handle, reinterpret_cast<const uint8_t *>(&target), static_cast<int>(sizeof target));
    return connect(ToSocket(handle), reinterpret_cast<const sockaddr *>(&target), static_cast<int>(sizeof target));
}

int Send(RfcommSocketHandle handle, const uint8_t *bytes, int count) {
    return send(ToSocket(handle), reinterpret_cast<const char *>(bytes), count, 0);
}

int Recv(RfcommSocketHandle handle, uint8_t *buffer, int size) {
    return recv(ToSocket(handle), reinterpret_cast<char *>(buffer), size, 0);
}

int Shutdown(RfcommSocketHandle handle) {
    return shutdown(ToSocket(handle), SD_BOTH);
}

int Close(RfcommSocketHandle handle) {
    return closesocket(ToSocket(handle));
}

int LastError() {
    return WSAGetLastError();
}

const RfcommSocketApi kWinsock = {&Open, &ConnectSerialPort, &Send, &Recv, &Shutdown, &Close, &LastError};

} // namespace

const RfcommSocketApi &PlatformRfcommSockets() {
    return kWinsock;
}

void SetSocketConnectForTesting(SocketConnectFunction connect) {
    g_connectForTesting.store(connect);
}
