// A second process for the cross-process tests. Usage:
//   ostrel_test_child <command> <arguments...>
// Commands:
//   hold-mutex NAME MARKERFILE HOLD_MS release|abandon
//       opens the named mutex, waits for it, creates MARKERFILE once it holds
//       it, sleeps HOLD_MS, then releases it or exits still holding it.
// Linux only:
//   try-mutex-as UID NAME
//       becomes user UID (from root), opens the named mutex and tries it for
//       1 ms.
//   lock-named-object NAME MARKERFILE HOLD_MS
//       opens the named mutex, then holds a write lock on its file as a
//       process does while it removes the object; creates MARKERFILE, sleeps
//       HOLD_MS and exits without letting go of the name.
// Exit codes: 0 done, 1 Acquired-as-abandoned (hold-mutex), 2 bad usage,
// 3 cannot create the object, 4 wait failed or timed out, 5 release refused,
// 6 cannot write the marker file, 7 cannot become that user, 8 cannot lock
// the object's file.
#include "Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include "Posix/NamedObjectFiles.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
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
    kNoFileLock = 8
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
int TryMutexAs(int argc, char **argv) {
    if (argc != 2)
        return kUsage;
    const auto id = static_cast<uid_t>(std::strtoul(argv[0], nullptr, 10));
    if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)
        return kNoUser;
    // A changed user makes the process undumpable, which the leak checker of
    // the sanitizer builds cannot work with.
    prctl(PR_SET_DUMPABLE, 1);
    Platform::Handle mutex = Platform::CreateKernelMutex(Widen(argv[1]).c_str());
    if (mutex == nullptr)
        return kNoObject;
    const Platform::WaitResult result = Platform::WaitForMutex(mutex, 1);
    if (result == Platform::WaitResult::Acquired)
        Platform::ReleaseMutex(mutex);
    Platform::CloseHandle(mutex);
    return result == Platform::WaitResult::Acquired ? kDone : kWaitFailed;
}

int LockNamedObject(int argc, char **argv) {
    if (argc != 3)
        return kUsage;
    const std::wstring name = Widen(argv[0]);
    if (Platform::CreateKernelMutex(name.c_str()) == nullptr)
        return kNoObject;
    const std::string path = NamedObjectFiles::DirectoryPath() + "/" + NamedObjectFiles::FileName(std::string(argv[0]));
    const int file = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (file < 0 || fcntl(file, F_SETLK, &lock) != 0)
        return kNoFileLock;
    if (!WriteMarker(argv[1]))
        return kNoMarker;
    Platform::Sleep(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    // Gone at once, as a process killed halfway through a removal: its name is
    // left open and its file in place.
    std::_Exit(kDone);
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
    {"lock-named-object", LockNamedObject},
#endif
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return kUsage;
    for (const Command &command : kCommands)
        if (std::strcmp(argv[1], command.name) == 0)
            return command.run(argc - 2, argv + 2);
    std::fprintf(stderr, "ostrel_test_child: unknown command %s\n", argv[1]);
    return kUsage;
}
