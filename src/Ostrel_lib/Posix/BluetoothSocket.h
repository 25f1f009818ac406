// The kernel's Bluetooth sockets as the BlueZ stack uses them: an L2CAP
// channel to a unit's SDP server and an RFCOMM stream to its serial port,
// each from a given local adapter, connected within a time-out and left
// non-blocking. No privilege is needed for either.
//
// The one seam for tests: when OSTREL_TEST_BLUETOOTH_SOCKETS names a folder,
// the connects go to UNIX sockets there instead (the simulated BlueZ of the
// tests serves the units' ends), named
//   FOLDER/ADAPTER/DEVICE/sdp        a SOCK_SEQPACKET socket, as L2CAP is
//   FOLDER/ADAPTER/DEVICE/rfcommN    a SOCK_STREAM socket, as RFCOMM is
// with the addresses in BlueZ's text form; everything after the connect is
// the same code on the same kind of descriptor.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace BluetoothSocket {

// A Bluetooth address, most significant byte first (as BlueZ prints it).
using Address = std::array<uint8_t, 6>;

constexpr char kTestFolderVariable[] = "OSTREL_TEST_BLUETOOTH_SOCKETS";

// "00:07:80:AB:CD:EF".
std::string AddressText(const Address &address);
// The system's text for an error number.
std::wstring ErrorText(int error);

// An L2CAP channel to the SDP server of `device`, from `adapter`, at the
// lowest security (SDP needs none). A connected non-blocking descriptor, or
// -1 with errno set (ETIMEDOUT when timeoutMs passed). A failure is traced
// before the socket is closed: some kernels fault in that close (see the
// README).
int ConnectSdp(const Address &adapter, const Address &device, uint32_t timeoutMs);

// An RFCOMM stream to `channel` of `device`, from `adapter`, with an
// encrypted link on the pairing's key (the kernel's medium security; an
// unpaired unit would have to pair first). As ConnectSdp otherwise.
int ConnectRfcomm(const Address &adapter, const Address &device, uint8_t channel, uint32_t timeoutMs);

// Waits until fd has `events` (POLLIN, POLLOUT) or an error or hang-up, or
// until timeoutMs passed; false on the time-out (errno ETIMEDOUT) or a
// failed wait.
bool WaitFor(int fd, short events, uint32_t timeoutMs);

} // namespace BluetoothSocket
