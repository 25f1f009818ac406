// A simulated unit on the far end of a connected socket, as a unit sits on
// the far end of the RFCOMM link that BlueZ hands to the library. The
// simulated BlueZ of the tests starts one per ConnectProfile. Usage:
//   ostrel_sim_fd_unit FD SERIAL [CLOSE_AFTER_BYTES]
// It serves the unit's side of the protocol on FD until the other end closes
// it. With CLOSE_AFTER_BYTES the unit drops the link after sending that many
// bytes (a unit switched off or carried out of range in mid-stream).
#include "SimUnit.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

namespace {

void SendAll(int fd, const uint8_t *bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the host has gone; the read loop ends too
        bytes += n;
        count -= static_cast<size_t>(n);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ostrel_sim_fd_unit FD SERIAL [CLOSE_AFTER_BYTES]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const int fd = std::atoi(argv[1]);
    sim::SimUnit unit(argv[2]);
    unit.SetDeliver([fd](const uint8_t *bytes, size_t count) { SendAll(fd, bytes, count); });
    unit.SetLinkClosed([fd] { shutdown(fd, SHUT_RDWR); });
    if (!unit.Connect())
        return 1;
    if (argc > 3)
        unit.CloseLinkAfterBytes(static_cast<size_t>(std::strtoul(argv[3], nullptr, 10)));
    uint8_t block[4096];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        unit.Receive(block, static_cast<size_t>(n));
    }
    unit.Disconnect();
    close(fd);
    return 0;
}
