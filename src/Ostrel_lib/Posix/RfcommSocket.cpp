// No Microsoft Bluetooth stack here: no socket can be made, and every call on
// a socket fails with the error Winsock gives for a missing address family.
#include "RfcommSocket.h"

namespace {

RfcommSocketHandle Open() {
    return kInvalidSocket;
}

int ConnectSerialPort(RfcommSocketHandle, uint64_t) {
    return kSocketError;
}

int Send(RfcommSocketHandle, const uint8_t *, int) {
    return kSocketError;
}

int Recv(RfcommSocketHandle, uint8_t *, int) {
    return kSocketError;
}

int Shutdown(RfcommSocketHandle) {
    return kSocketError;
}

int Close(RfcommSocketHandle) {
    return kSocketError;
}

int LastError() {
    return kErrorAddressFamilyNotSupported;
}

const RfcommSocketApi kNoStack = {&Open, &ConnectSerialPort, &Send, &Recv, &Shutdown, &Close, &LastError};

} // namespace

const RfcommSocketApi &PlatformRfcommSockets() {
    return kNoStack;
}

void SetSocketConnectForTesting(SocketConnectFunction) {}
