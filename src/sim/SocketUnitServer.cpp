// simunit-serve: the simulated unit behind one connected stream socket, so
// that a real Bluetooth stack can carry the unit's side of the wire (the
// real-stack suite hands it each RFCOMM connection its emulated units accept).
//
//   simunit-serve --serial S [--fd N] [--link-rate BYTES_PER_S]
//
// Serves descriptor N (default 0) until the host closes the link or the
// descriptor fails, then exits 0; 2 on bad usage.
#include "SimUnit.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kReadBlock = 4096;
constexpr size_t kDeliverChunk = 1024; // about what one RFCOMM frame carries

struct Options {
    std::string serial;
    int fd = 0;
    uint32_t linkRate = 0;
};

bool ParseUnsigned(const char *text, unsigned long max, unsigned long &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value <= max;
}

bool ParseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        unsigned long value = 0;
        if (name == "--serial")
            options.serial = argv[i + 1];
        else if (name == "--fd" && ParseUnsigned(argv[i + 1], 1 << 20, value))
            options.fd = static_cast<int>(value);
        else if (name == "--link-rate" && ParseUnsigned(argv[i + 1], UINT32_MAX, value))
            options.linkRate = static_cast<uint32_t>(value);
        else
            return false;
    }
    return argc % 2 == 1 && !options.serial.empty();
}

// A handed-over Bluetooth socket may come non-blocking; this side blocks.
void MakeBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

bool WriteAll(int fd, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: simunit-serve --serial S [--fd N] [--link-rate BYTES_PER_S]\n");
        return 2;
    }
    MakeBlocking(options.fd);

    sim::SimUnit unit(options.serial);
    unit.SetChunkSize(kDeliverChunk);
    unit.SetLinkRate(options.linkRate);
    std::atomic<bool> sendFailed{false};
    const int fd = options.fd;
    unit.SetDeliver([fd, &sendFailed](const uint8_t *bytes, size_t count) {
        if (!sendFailed && !WriteAll(fd, bytes, count)) {
            sendFailed = true;
            // Wakes the reader below, which ends the program.
            shutdown(fd, SHUT_RDWR);
        }
    });
    unit.Connect();

    uint8_t block[kReadBlock];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0 && !sendFailed)
                std::fprintf(stderr, "simunit-serve %s: read: %s\n", options.serial.c_str(), std::strerror(errno));
            break;
        }
        unit.Receive(block, static_cast<size_t>(n));
    }
    unit.Disconnect();
    close(fd);
    return 0;
}
