// A second process for the cross-process tests. Usage:
//   ostrel_test_child [--fallback DIR] [--empty-shm] <command> <arguments...>
// --fallback (Linux): where named mutexes keep their fallback lock files.
// --empty-shm (Linux, root): the process gets an empty /dev/shm of its own,
// as a cleaner that removed everything there would leave it.
// Commands:
//   hold-mutex NAME MARKERFILE HOLD_MS release|abandon
//       opens the named mutex, waits for it, creates MARKERFILE once it holds
//       it, sleeps HOLD_MS, then releases it or exits still holding it.
// Linux only:
//   try-mutex-as UID NAME [WAIT_MS]
//       becomes user UID (from root; stays itself when it is UID already),
//       opens the named mutex and tries it for WAIT_MS (1 by default).
//   squat-as UID ADDRESS listen|bind STOPFILE
//       becomes user UID and binds a stream socket at the abstract ADDRESS,
//       listening or not, as another account could squat on a name; exits
//       once STOPFILE exists.
// Exit codes: 0 done, 1 Acquired-as-abandoned (hold-mutex), 2 bad usage,
// 3 cannot create the object, 4 wait failed or timed out, 5 release refused,
// 6 cannot write the marker file, 7 cannot become that user, 8 cannot bind
// the address or enter an empty /dev/shm.
#include "Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include "EmptySharedMemory.h"
#include "Posix/NamedClaim.h"

#include <grp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

enum ExitCode {
    kDone = 0,
    kDoneAbandoned = 1,
    kUsage = 2,
    kNoObject = 3,
    kWaitFailed = 4,
    kNotReleased = 5,
    kNoMarker = 6,
    kNoUser = 7,
    kNoBinding = 8
};

// The child waits this long at most, so that a broken parent never leaves it
// hanging for good.
constexpr uint32_t kChildWaitMs = 120000;

// Test names and paths are ASCII.
std::wstring Widen(const char *text) {
    std::wstring out;
    for (; *text != '\0'; ++text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    return out;
}

bool WriteMarker(const char *path) {
    std::FILE *file = std::fopen(path, "w");
    if (file == nullptr)
        return false;
    std::fputs("held\n", file);
    return std::fclose(file) == 0;
}

int HoldMutex(int argc, char **argv) {
    if (argc != 4)
        return kUsage;
    bool release = std::strcmp(argv[3], "release") == 0;
    if (!release && std::strcmp(argv[3], "abandon") != 0)
        return kUsage;
    Platform::Handle mutex = Platform::CreateKernelMutex(Widen(argv[0]).c_str());
    if (mutex == nullptr)
        return kNoObject;
    Platform::WaitResult result = Platform::WaitForMutex(mutex, kChildWaitMs);
    if (!Platform::IsAcquired(result))
        return kWaitFailed;
    if (!WriteMarker(argv[1]))
        return kNoMarker;
    Platform::Sleep(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    if (release && !Platform::ReleaseMutex(mutex))
        return kNotReleased;
    // Without a release the process ends holding the mutex: it is abandoned.
    Platform::CloseHandle(mutex);
    return result == Platform::WaitResult::Abandoned ? kDoneAbandoned : kDone;
}

#ifndef _WIN32
bool BecomeUser(const char *user) {
    const auto id = static_cast<uid_t>(std::strtoul(user, nullptr, 10));
    if (id == geteuid())
        return true;
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)
        return false;
    // A changed user makes the process undumpable, which the leak checker of
    // the sanitizer builds cannot work with.
    prctl(PR_SET_DUMPABLE, 1);
    return true;
}

int TryMutexAs(int argc, char **argv) {
    if (argc != 2 && argc != 3)
        return kUsage;
    if (!BecomeUser(argv[0]))
        return kNoUser;
    Platform::Handle mutex = Platform::CreateKernelMutex(Widen(argv[1]).c_str());
    if (mutex == nullptr)
        return kNoObject;
    const auto waitMs = argc == 3 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1u;
    const Platform::WaitResult result = Platform::WaitForMutex(mutex, waitMs);
    if (result == Platform::WaitResult::Acquired)
        Platform::ReleaseMutex(mutex);
    Platform::CloseHandle(mutex);
    return result == Platform::WaitResult::Acquired ? kDone : kWaitFailed;
}

int SquatAs(int argc, char **argv) {
    if (argc != 4)
        return kUsage;
    const std::string address = argv[1];
    const std::string how = argv[2];
    if ((how != "listen" && how != "bind") || address.size() >= sizeof(sockaddr_un::sun_path))
        return kUsage;
    if (!BecomeUser(argv[0]))
        return kNoUser;
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    address.copy(where.sun_path + 1, address.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr *>(&where), length) != 0 ||
        (how == "listen" && listen(fd, SOMAXCONN) != 0))
        return kNoBinding;
    struct stat info {};
    for (uint32_t waited = 0; stat(argv[3], &info) != 0 && waited < kChildWaitMs; waited += 10)
        Platform::Sleep(10);
    close(fd);
    return kDone;
}
#endif

struct Command {
    const char *name;
    int (*run)(int argc, char **argv); // the arguments after the command
};

const Command kCommands[] = {
    {"hold-mutex", HoldMutex},
#ifndef _WIN32
    {"try-mutex-as", TryMutexAs},
    {"squat-as", SquatAs},
#endif
};

} // namespace

int main(int argc, char **argv) {
#ifndef _WIN32
    for (;;) {
        if (argc >= 3 && std::strcmp(argv[1], "--fallback") == 0) {
            NamedClaim::SetFallbackDirectoryForTesting(argv[2]);
            argc -= 2;
            argv += 2;
        } else if (argc >= 2 && std::strcmp(argv[1], "--empty-shm") == 0) {
            if (!EnterEmptySharedMemory())
                return kNoBinding;
            argc -= 1;
            argv += 1;
        } else {
            break;
        }
    }
#endif
    if (argc < 2)
        return kUsage;
    for (const Command &command : kCommands)
        if (std::strcmp(argv[1], command.name) == 0)
            return command.run(argc - 2, argv + 2);
    std::fprintf(stderr, "ostrel_test_child: unknown command %s\n", argv[1]);
    return kUsage;
}
