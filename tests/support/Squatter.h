// Another user's process bound to the abstract address of a name, as a
// squatter could bind it (Linux, root only).
#pragma once

#include "ChildProcess.h"
#include "Platform.h"

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Whether some stream socket is bound at the abstract address.
inline bool IsBound(const std::string &address) {
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    address.copy(where.sun_path + 1, address.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool taken = bind(fd, reinterpret_cast<const sockaddr *>(&where),
                            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size())) != 0 &&
                       errno == EADDRINUSE;
    close(fd);
    return taken;
}

// The helper, as user `uid`, bound at the address ("listen": listening too)
// until the end of the object's scope.
class Squatter {
  public:
    static constexpr uid_t kOtherUser = 65534; // nobody

    Squatter(const std::string &address, const std::string &how) : m_stop(ChildProcess::NewMarkerPath("squatter")) {
        m_started = m_child.Start({"squat-as", std::to_string(kOtherUser), address, how, m_stop});
        for (uint32_t waited = 0; m_started && !IsBound(address) && waited < ChildProcess::StartupAllowanceMs();
             waited += 10)
            Platform::Sleep(10);
        m_bound = m_started && IsBound(address);
    }
    ~Squatter() {
        std::ofstream(m_stop).put('\n');
        m_child.WaitForExit(ChildProcess::StartupAllowanceMs());
        ChildProcess::RemoveFile(m_stop);
    }
    Squatter(const Squatter &) = delete;
    Squatter &operator=(const Squatter &) = delete;

    bool Bound() const { return m_bound; }

  private:
    std::string m_stop;
    ChildProcess m_child;
    bool m_started = false;
    bool m_bound = false;
};
