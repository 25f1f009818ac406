// Bluetooth RFCOMM stream sockets of the Microsoft stack, as a table of plain
// functions so that the portable device code can use them and tests can put a
// fake in their place. Win32/RfcommSocket.cpp fills the table with Winsock;
// Posix/RfcommSocket.cpp stands for a system without that stack (every call
// fails).
#pragma once

#include <cstdint>

// A socket handle as Winsock's SOCKET: all ones is the invalid socket.
using RfcommSocketHandle = intptr_t;
constexpr RfcommSocketHandle kInvalidSocket = -1;
// What connect, send, recv and close answer on failure (Winsock's SOCKET_ERROR).
constexpr int kSocketError = -1;
// Winsock's "address family not supported": there is no Bluetooth stack.
constexpr int kErrorAddressFamilyNotSupported = 10047;

struct RfcommSocketApi {
    // A Bluetooth RFCOMM stream socket, or kInvalidSocket.
    RfcommSocketHandle (*open)();
    // Connects to the Serial Port Profile service of the device with this
    // 64-bit Bluetooth address, on whatever channel the service has. 0 or
    // kSocketError.
    int (*connectSerialPort)(RfcommSocketHandle socket, uint64_t address);
    // Bytes sent, or kSocketError.
    int (*send)(RfcommSocketHandle socket, const uint8_t *bytes, int count);
    // Bytes received; 0 when the peer closed the link or the socket was shut
    // down; kSocketError on error, also when the socket is closed while the
    // call waits.
    int (*recv)(RfcommSocketHandle socket, uint8_t *buffer, int size);
    // Ends both directions and wakes a receive that waits, but keeps the
    // handle: the system cannot hand its value to another socket until close.
    // 0 or kSocketError.
    int (*shutdown)(RfcommSocketHandle socket);
    // 0 or kSocketError.
    int (*close)(RfcommSocketHandle socket);
    // The calling thread's error number of its last failed call.
    int (*lastError)();
};

// The table in use: the platform's, unless a test has set its own.
const RfcommSocketApi &RfcommSockets();
// The platform's own table.
const RfcommSocketApi &PlatformRfcommSockets();
// Tests only: replaces the table in use; null goes back to the platform's.
// The table must outlive its use; devices keep the table they connected with.
void SetRfcommSocketsForTesting(const RfcommSocketApi *api);

// Tests only: the Winsock table hands the socket address it builds, as the
// bytes Winsock would get, to this function in place of Winsock's connect;
// null goes back to Winsock. A system without the stack connects nothing and
// never calls it.
using SocketConnectFunction = int (*)(RfcommSocketHandle socket, const uint8_t *address, int length);
void SetSocketConnectForTesting(SocketConnectFunction connect);
