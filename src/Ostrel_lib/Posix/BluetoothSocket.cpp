#include "BluetoothSocket.h"

#include "GPortRef.h"
#include "GUtils.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"BluetoothSocket.cpp";

namespace BluetoothSocket {
namespace {

// The kernel's Bluetooth socket interface (include/net/bluetooth in the
// kernel's sources): a stable ABI, declared here as the D-Bus types are, so
// that no development package is needed.
constexpr int kProtocolL2cap = 0;
constexpr int kProtocolRfcomm = 3;
constexpr int kSolBluetooth = 274;
constexpr int kOptionSecurity = 4;
constexpr uint8_t kSecurityLow = 1;
constexpr uint8_t kSecurityMedium = 2;
constexpr uint16_t kSdpPsm = 1;

// bdaddr_t: least significant byte first.
using KernelAddress = std::array<uint8_t, 6>;

struct SockaddrL2 {
    sa_family_t family;
    uint16_t psm; // little-endian
    KernelAddress address;
    uint16_t cid;
    uint8_t addressType; // 0: BR/EDR
};
static_assert(sizeof(SockaddrL2) == 14 && offsetof(SockaddrL2, address) == 4 && offsetof(SockaddrL2, cid) == 10,
              "struct sockaddr_l2");

struct SockaddrRc {
    sa_family_t family;
    KernelAddress address;
    uint8_t channel;
};
static_assert(sizeof(SockaddrRc) == 10 && offsetof(SockaddrRc, channel) == 8, "struct sockaddr_rc");

struct Security {
    uint8_t level;
    uint8_t keySize;
};

KernelAddress ToKernel(const Address &address) {
    return {address[5], address[4], address[3], address[2], address[1], address[0]};
}

// Says why, then closes the descriptor given up (fd may be -1); keeps errno.
int Fail(int fd, const std::wstring &what) {
    const int error = errno;
    OSTREL_TRACE(what << L" failed: " << ErrorText(error));
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

// Connects fd to the address within the time-out; fd is non-blocking.
int Connect(int fd, const sockaddr *address, socklen_t length, uint32_t timeoutMs, const std::wstring &what) {
    if (connect(fd, address, length) == 0)
        return fd;
    if (errno != EINPROGRESS || !WaitFor(fd, POLLOUT, timeoutMs))
        return Fail(fd, what);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return Fail(fd, what);
    if (error != 0) {
        errno = error;
        return Fail(fd, what);
    }
    return fd;
}

// The tests' stand-in: the unit's end of the link as a UNIX socket.
int ConnectTestSocket(const char *folder, const Address &adapter, const Address &device, const std::string &end,
                      int type, const std::wstring &what) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = std::string(folder) + "/" + AddressText(adapter) + "/" + AddressText(device) + "/" + end;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return Fail(-1, what);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        // No unit serves there: what paging a unit out of reach gives.
        if (errno == ENOENT)
            errno = EHOSTDOWN;
        return Fail(fd, what);
    }
    return fd;
}

const char *TestFolder() {
    const char *folder = secure_getenv(kTestFolderVariable);
    return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

// A Bluetooth socket bound to the adapter, at the security level.
int OpenBound(int type, int protocol, const sockaddr *local, socklen_t length, uint8_t level,
              const std::wstring &what) {
    const int fd = socket(AF_BLUETOOTH, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    const Security security = {level, 0};
    if (fd < 0 || setsockopt(fd, kSolBluetooth, kOptionSecurity, &security, sizeof security) != 0 ||
        bind(fd, local, length) != 0)
        return Fail(fd, what);
    return fd;
}

std::wstring Describe(const char *kind, const Address &adapter, const Address &device, const std::string &detail) {
    return WidenText(kind) + L" connect to " + WidenText(AddressText(device) + detail) + L" from " +
           WidenText(AddressText(adapter));
}

} // namespace

std::string AddressText(const Address &address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", address[0], address[1], address[2], address[3],
                  address[4], address[5]);
    return text;
}

std::wstring ErrorText(int error) {
    char buffer[128];
    return WidenText(strerror_r(error, buffer, sizeof buffer));
}

int ConnectSdp(const Address &adapter, const Address &device, uint32_t timeoutMs) {
    const std::wstring what = Describe("SDP", adapter, device, "");
    if (const char *folder = TestFolder())
        return ConnectTestSocket(folder, adapter, device, "sdp", SOCK_SEQPACKET, what);
    SockaddrL2 local{};
    local.family = AF_BLUETOOTH;
    local.address = ToKernel(adapter);
    const int fd = OpenBound(SOCK_SEQPACKET, kProtocolL2cap, reinterpret_cast<const sockaddr *>(&local), sizeof local,
                             kSecurityLow, what);
    if (fd < 0)
        return -1;
    SockaddrL2 remote{};
    remote.family = AF_BLUETOOTH;
    remote.psm = htole16(kSdpPsm);
    remote.address = ToKernel(device);
    return Connect(fd, reinterpret_cast<const sockaddr *>(&remote), sizeof remote, timeoutMs, what);
}

int ConnectRfcomm(const Address &adapter, const Address &device, uint8_t channel, uint32_t timeoutMs) {
    const std::wstring what = Describe("RFCOMM", adapter, device, " channel " + std::to_string(channel));
    if (const char *folder = TestFolder())
        return ConnectTestSocket(folder, adapter, device, "rfcomm" + std::to_string(channel), SOCK_STREAM, what);
    SockaddrRc local{};
    local.family = AF_BLUETOOTH;
    local.address = ToKernel(adapter);
    const int fd = OpenBound(SOCK_STREAM, kProtocolRfcomm, reinterpret_cast<const sockaddr *>(&local), sizeof local,
                             kSecurityMedium, what);
    if (fd < 0)
        return -1;
    SockaddrRc remote{};
    remote.family = AF_BLUETOOTH;
    remote.address = ToKernel(device);
    remote.channel = channel;
    return Connect(fd, reinterpret_cast<const sockaddr *>(&remote), sizeof remote, timeoutMs, what);
}

bool WaitFor(int fd, short events, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0)
            return true;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR)
            return false;
    }
}

} // namespace BluetoothSocket
