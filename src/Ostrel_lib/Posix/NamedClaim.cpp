#include "NamedClaim.h"

#include "Platform.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace NamedClaim {
namespace {

constexpr char kAddressPrefix[] = "Ostrel_lib/";
constexpr char kLockSuffix[] = ".lock";
constexpr char kReleasedNote = 'R';
// A holder listens right after it binds: an address bound without a listener
// for this long is not a holder's. Backlogs are SOMAXCONN deep, so a holder
// of this user never turns a connection away either.
constexpr uint32_t kNotAHolderAfterMs = 20;
constexpr uint32_t kRetryMs = 1;
constexpr uint32_t kLockFileRetryMs = 2;
constexpr size_t kMaxAddress = sizeof(sockaddr_un::sun_path) - 1;
constexpr size_t kMaxFileName = 255;

// File systems whose locks and new names other machines' or even this
// machine's processes may not see at once.
constexpr unsigned long kNetworkFileSystems[] = {
    NFS_SUPER_MAGIC,       SMB_SUPER_MAGIC,       0xFF534D42 /* cifs */,
    0xFE534D42 /* smb2 */, CODA_SUPER_MAGIC,      AFS_SUPER_MAGIC,
    0x65735546 /* fuse */, 0x00C36400 /* ceph */, V9FS_MAGIC,
};

// Blocking calls come back with EINTR when a signal handler of the host runs.
template <typename Call> auto RetryOnInterrupt(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

std::string ErrorText(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// ---------------------------------------------------------------- descriptors held across fork

// Every descriptor that holds a claim, so that a child made by fork can close
// its copies: a bound socket stays bound, and a file lock stays locked, while
// any copy is open. Changed only in short steps that never wait.
struct HeldDescriptors {
    std::mutex lock;
    std::set<int> descriptors;
};

HeldDescriptors &Held() {
    static auto *held = new HeldDescriptors(); // outlives static destructors
    return *held;
}

// Makes a descriptor and notes it, with no fork in between: the child would
// otherwise keep a copy nobody knows of.
template <typename Make> int MakeHeld(Make make) {
    HeldDescriptors &held = Held();
    std::lock_guard<std::mutex> guard(held.lock);
    const int fd = make();
    if (fd >= 0)
        held.descriptors.insert(fd);
    return fd;
}

void CloseHeld(int &fd) {
    if (fd < 0)
        return;
    HeldDescriptors &held = Held();
    std::lock_guard<std::mutex> guard(held.lock);
    held.descriptors.erase(fd);
    close(fd);
    fd = -1;
}

// ---------------------------------------------------------------- time

class Deadline {
  public:
    explicit Deadline(uint32_t timeoutMs) : m_start(Platform::GetTickCount()), m_timeout(timeoutMs) {}
    uint32_t RemainingMs() const {
        if (m_timeout == Platform::kInfinite)
            return Platform::kInfinite;
        const uint32_t elapsed = Platform::GetTickCount() - m_start;
        return elapsed >= m_timeout ? 0 : m_timeout - elapsed;
    }
    bool Passed() const { return RemainingMs() == 0; }
    void Pause(uint32_t ms) const { Platform::Sleep(ms < RemainingMs() ? ms : RemainingMs()); }

  private:
    uint32_t m_start;
    uint32_t m_timeout;
};

// ---------------------------------------------------------------- names

// A name too long for its place keeps its start and gets a hash of the whole.
std::string Shortened(const std::string &text, size_t limit) {
    if (text.size() <= limit)
        return text;
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    static const char hex[] = "0123456789abcdef";
    std::string tail = "#";
    for (int shift = 60; shift >= 0; shift -= 4)
        tail += hex[(hash >> shift) & 0xF];
    return text.substr(0, limit - tail.size()) + tail;
}

// Bytes outside [A-Za-z0-9._-], and a leading '.', become %XX: distinct names
// stay distinct, and none is hidden or reaches another directory.
std::string FileNameOf(const std::string &name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                           c == '-' || (c == '.' && !out.empty());
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return Shortened(out, kMaxFileName - sizeof kLockSuffix + 1) + kLockSuffix;
}

sockaddr_un SocketAddress(const std::string &address, socklen_t &length) {
    sockaddr_un out{};
    out.sun_family = AF_UNIX;
    std::memcpy(out.sun_path + 1, address.data(), address.size()); // sun_path[0] = 0: abstract
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + address.size());
    return out;
}

// ---------------------------------------------------------------- the fallback directory

// The fallback directory: `below` under `root`, each made if missing.
struct FallbackPlace {
    std::string root;
    std::vector<std::string> below;
    std::string directory;
    std::string unusable; // why it cannot be used; empty when it can
};

std::mutex g_fallbackLock;
std::string g_fallbackForTesting;

FallbackPlace HomePlace() {
    FallbackPlace place;
    place.directory = "~/.local/state/Ostrel_lib";
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    const uid_t uid = geteuid();
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        place.unusable = "the user database gives no home directory for uid " + std::to_string(uid);
        return place;
    }
    place.root = found->pw_dir;
    place.below = {".local", "state", "Ostrel_lib"};
    place.directory = place.root + "/.local/state/Ostrel_lib";
    struct stat info {};
    struct statfs system {};
    if (stat(place.root.c_str(), &info) != 0) {
        place.unusable = "the home directory " + place.root + " cannot be reached: " + ErrorText(errno);
    } else if (!S_ISDIR(info.st_mode) || info.st_uid != uid || (info.st_mode & S_IWOTH) != 0) {
        place.unusable = place.root + " is not a home directory of this user's own";
    } else if (statfs(place.root.c_str(), &system) == 0) {
        for (unsigned long type : kNetworkFileSystems)
            if (static_cast<unsigned long>(system.f_type) == type)
                place.unusable = place.root + " is on a network file system";
    }
    return place;
}

FallbackPlace Place() {
    std::lock_guard<std::mutex> guard(g_fallbackLock);
    if (!g_fallbackForTesting.empty()) {
        const size_t slash = g_fallbackForTesting.find_last_of('/');
        return FallbackPlace{g_fallbackForTesting.substr(0, slash == 0 ? 1 : slash),
                             {g_fallbackForTesting.substr(slash + 1)},
                             g_fallbackForTesting,
                             ""};
    }
    static const FallbackPlace home = HomePlace();
    return home;
}

// Opens one directory below parent; -1 (with why) when it is not this user's
// own.
int OpenDirectoryBelow(int parent, const std::string &path, const std::string &name, bool last, std::string &why) {
    if (mkdirat(parent, name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        why = "cannot make " + path + ": " + ErrorText(errno);
        return -1;
    }
    const int fd =
        RetryOnInterrupt([&] { return openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_uid != geteuid() || (info.st_mode & S_IWOTH) != 0) {
        why = path + " is not a directory of this user's own";
        if (fd >= 0)
            close(fd);
        return -1;
    }
    // The library's own directory is private and writable; a mode left by an
    // unusual umask is put right, not refused.
    if (last && (info.st_mode & 07777) != S_IRWXU)
        fchmod(fd, S_IRWXU);
    return fd;
}

// The fallback directory, made if missing: -1 (with why) when it cannot be
// used.
int OpenFallbackDirectory(const FallbackPlace &place, std::string &why) {
    if (!place.unusable.empty()) {
        why = place.unusable;
        return -1;
    }
    int fd = RetryOnInterrupt([&] { return open(place.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0)
        why = "cannot open " + place.root + ": " + ErrorText(errno);
    std::string path = place.root;
    for (size_t i = 0; i < place.below.size() && fd >= 0; ++i) {
        path += (path == "/" ? "" : "/") + place.below[i];
        const int below = OpenDirectoryBelow(fd, path, place.below[i], i + 1 == place.below.size(), why);
        close(fd);
        fd = below;
    }
    return fd;
}

// ---------------------------------------------------------------- lock files

bool IsOwnFile(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
}

// An open-file-description lock: it belongs to this open of the file, not to
// the process, and never waits.
bool LockFile(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return RetryOnInterrupt([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0;
}

// After a refused LockFile: another open of the file holds it (rather than a
// file system that takes no such locks).
bool HeldElsewhere() {
    return errno == EAGAIN || errno == EACCES;
}

// Whether path names the file of fd (not a successor made meanwhile).
bool NamesFile(const std::string &path, int fd) {
    struct stat mine {
    }, named{};
    return fstat(fd, &mine) == 0 && lstat(path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
}

// Under its lock: removes the file if path still names it, then unlocks and
// closes it.
void RemoveAndUnlock(const std::string &path, int &fd) {
    if (NamesFile(path, fd))
        unlink(path.c_str());
    LockFile(fd, F_UNLCK); // whatever copies of it a child still has
    CloseHeld(fd);
}

// ---------------------------------------------------------------- the address

enum class Found {
    Bound,     // this process bound it and listens: `fd`
    OwnHolder, // a holder of this user: `fd` is connected to it
    Foreign,   // a holder of another user
    NoHolder,  // bound without a listener, or turning connections away
    Error,
};

struct Meeting {
    Found found = Found::Error;
    int fd = -1;
    uid_t uid = 0;
    pid_t pid = 0;
    int error = 0;
};

// Binds the address, or meets what holds it.
Meeting BindOrMeet(const std::string &address) {
    socklen_t length = 0;
    const sockaddr_un where = SocketAddress(address, length);
    const auto *raw = reinterpret_cast<const sockaddr *>(&where);
    Meeting out;
    int bindError = 0;
    out.fd = MakeHeld([&] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0 || (bind(fd, raw, length) == 0 && listen(fd, SOMAXCONN) == 0))
            return fd;
        bindError = errno;
        close(fd);
        return -1;
    });
    if (out.fd >= 0) {
        out.found = Found::Bound;
        return out;
    }
    if (bindError != EADDRINUSE) {
        out.error = bindError != 0 ? bindError : errno;
        return out;
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out.error = errno;
        return out;
    }
    if (RetryOnInterrupt([&] { return connect(fd, raw, length); }) != 0) {
        out.error = errno;
        close(fd);
        // ECONNREFUSED: bound but not listening (or just let go); EAGAIN: a
        // full backlog.
        out.found = out.error == ECONNREFUSED || out.error == EAGAIN ? Found::NoHolder : Found::Error;
        return out;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        out.error = errno;
        close(fd);
        return out;
    }
    out.uid = peer.uid;
    out.pid = peer.pid;
    if (peer.uid == geteuid()) {
        out.found = Found::OwnHolder;
        out.fd = fd;
    } else {
        out.found = Found::Foreign;
        close(fd);
    }
    return out;
}

enum class Waited { Released, HolderEnded, TimedOut };

// Waits on a connection to the holder until it lets go or ends.
Waited WaitForHolder(int connection, const Deadline &deadline) {
    pollfd entry{connection, POLLIN, 0};
    for (;;) {
        const uint32_t remaining = deadline.RemainingMs();
        timespec limit{static_cast<time_t>(remaining / 1000), static_cast<long>(remaining % 1000) * 1000000L};
        const int ready = ppoll(&entry, 1, remaining == Platform::kInfinite ? nullptr : &limit, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return Waited::TimedOut;
        char note = 0;
        const ssize_t n = RetryOnInterrupt([&] { return recv(connection, &note, 1, MSG_DONTWAIT); });
        if (n < 0 && errno == EAGAIN)
            continue;
        return n == 1 && note == kReleasedNote ? Waited::Released : Waited::HolderEnded;
    }
}

std::string HolderText(const Meeting &meeting, const std::string &shown) {
    if (meeting.found == Found::Foreign)
        return shown + " is bound by user " + std::to_string(meeting.uid) + " (process " + std::to_string(meeting.pid) +
               ")";
    return shown + " is bound by a socket that does not take connections (another user's?)";
}

} // namespace

// ---------------------------------------------------------------- Claim

Claim::Claim(const std::string &name)
    : m_address(AddressOf(name)), m_fileName(FileNameOf(name)), m_process(Platform::CurrentProcessId()) {}

Claim::~Claim() {
    Give(false);
}

bool Claim::InThisProcess() const {
    return m_process == Platform::CurrentProcessId();
}

Outcome Claim::Take(uint32_t timeoutMs) {
    if (!InThisProcess()) {
        m_failure = ShownAddress() + " was claimed by the parent of this forked process";
        return Outcome::Failed;
    }
    if (Held())
        return Outcome::Held;
    const Deadline deadline(timeoutMs);
    bool holderEnded = false;
    bool noHolderSeen = false;
    uint32_t noHolderSince = 0;
    for (;;) {
        Meeting meeting = BindOrMeet(m_address);
        const bool squatted =
            meeting.found == Found::Foreign || (meeting.found == Found::NoHolder && noHolderSeen &&
                                                Platform::GetTickCount() - noHolderSince >= kNotAHolderAfterMs);
        if (meeting.found != Found::NoHolder)
            noHolderSeen = false;
        uint32_t pause = kRetryMs;
        switch (meeting.found) {
        case Found::Bound:
            m_listener = meeting.fd;
            if (LockFileFreeWhileBound())
                return holderEnded ? Outcome::HeldAfterHolderEnded : Outcome::Held;
            // A process of this user holds the claim through the lock file.
            Give();
            pause = kLockFileRetryMs;
            break;
        case Found::OwnHolder: {
            const Waited waited = WaitForHolder(meeting.fd, deadline);
            close(meeting.fd);
            if (waited == Waited::TimedOut)
                return Outcome::Busy;
            holderEnded = holderEnded || waited == Waited::HolderEnded;
            continue;
        }
        case Found::NoHolder:
        case Found::Foreign:
            if (meeting.found == Found::NoHolder && !noHolderSeen) {
                noHolderSeen = true;
                noHolderSince = Platform::GetTickCount();
            }
            if (squatted) {
                int ownHolder = -1;
                switch (TakeFallback(ownHolder)) {
                case Fallback::Held:
                case Fallback::HeldBound:
                    return holderEnded ? Outcome::HeldAfterHolderEnded : Outcome::Held;
                case Fallback::Retry:
                    continue;
                case Fallback::OwnHolder: {
                    const Waited waited = WaitForHolder(ownHolder, deadline);
                    close(ownHolder);
                    if (waited == Waited::TimedOut)
                        return Outcome::Busy;
                    holderEnded = holderEnded || waited == Waited::HolderEnded;
                    continue;
                }
                case Fallback::Failed:
                    m_failure = HolderText(meeting, ShownAddress()) + ", and its fallback, a lock file in " +
                                Place().directory + ", cannot be used: " + m_failure;
                    return Outcome::Failed;
                case Fallback::Busy:
                    pause = kLockFileRetryMs;
                    break;
                }
            }
            break;
        case Found::Error:
            m_failure = "cannot claim " + ShownAddress() + ": " + ErrorText(meeting.error);
            return Outcome::Failed;
        }
        if (deadline.Passed())
            return Outcome::Busy;
        deadline.Pause(pause);
    }
}

// Bound: a process of this user that holds the claim through the lock file
// must not be overlooked. A lock file nobody holds is removed on the way.
bool Claim::LockFileFreeWhileBound() {
    const FallbackPlace place = Place();
    if (!place.unusable.empty())
        return true;
    const std::string path = place.directory + "/" + m_fileName;
    int fd =
        MakeHeld([&] { return RetryOnInterrupt([&] { return open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); }); });
    // A file that cannot be opened, or is not the user's own, cannot be
    // anyone's claim either: the fallback refuses it the same way.
    if (fd < 0)
        return true;
    if (!IsOwnFile(fd)) {
        CloseHeld(fd);
        return true;
    }
    if (!LockFile(fd, F_WRLCK)) {
        const bool held = HeldElsewhere();
        CloseHeld(fd);
        return !held;
    }
    RemoveAndUnlock(path, fd);
    return true;
}

Claim::Fallback Claim::TakeFallback(int &ownHolder) {
    const FallbackPlace place = Place();
    std::string why;
    const int directory = OpenFallbackDirectory(place, why);
    if (directory < 0) {
        m_failure = why;
        return Fallback::Failed;
    }
    const std::string path = place.directory + "/" + m_fileName;
    int fd = MakeHeld([&] {
        return RetryOnInterrupt([&] {
            return openat(directory, m_fileName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        });
    });
    const int openError = errno;
    close(directory);
    if (fd < 0 || !IsOwnFile(fd)) {
        m_failure =
            fd < 0 ? "cannot open " + path + ": " + ErrorText(openError) : path + " is not a file of this user's own";
        CloseHeld(fd);
        return Fallback::Failed;
    }
    if (!LockFile(fd, F_WRLCK)) {
        const bool held = HeldElsewhere();
        m_failure = "cannot lock " + path + ": " + ErrorText(errno);
        CloseHeld(fd);
        return held ? Fallback::Busy : Fallback::Failed;
    }
    if (!NamesFile(path, fd)) { // its holder removed it meanwhile
        LockFile(fd, F_UNLCK);
        CloseHeld(fd);
        return Fallback::Retry;
    }
    // Held, and no other process of the user can hold the file now. Who holds
    // the address?
    Meeting meeting = BindOrMeet(m_address);
    switch (meeting.found) {
    case Found::Bound:
        m_listener = meeting.fd;
        RemoveAndUnlock(path, fd);
        return Fallback::HeldBound;
    case Found::OwnHolder:
        RemoveAndUnlock(path, fd);
        ownHolder = meeting.fd;
        return Fallback::OwnHolder;
    case Found::Foreign:
    case Found::NoHolder:
        // Not a settled holder of this user: one that has bound but not yet
        // listened checks the file after it listens, and finds it held.
        m_lockFile = fd;
        return Fallback::Held;
    case Found::Error:
        break;
    }
    RemoveAndUnlock(path, fd);
    m_failure = "cannot claim " + ShownAddress() + ": " + ErrorText(meeting.error);
    return Fallback::Failed;
}

void Claim::Give(bool released) {
    if (!InThisProcess()) {
        m_listener = -1; // the copies were closed at the fork
        m_lockFile = -1;
        return;
    }
    if (m_listener >= 0 && released) {
        // No new connections; every pending one hears that this was a release.
        shutdown(m_listener, SHUT_RDWR);
        for (;;) {
            const int waiter = RetryOnInterrupt([&] { return accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC); });
            if (waiter < 0)
                break;
            send(waiter, &kReleasedNote, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(waiter);
        }
    }
    CloseHeld(m_listener);
    if (m_lockFile >= 0)
        RemoveAndUnlock(Place().directory + "/" + m_fileName, m_lockFile);
}

void LockBeforeFork() {
    Held().lock.lock();
}

void UnlockAfterFork(bool inChild) {
    HeldDescriptors &held = Held();
    if (inChild) {
        for (int fd : held.descriptors)
            close(fd);
        held.descriptors.clear();
    }
    held.lock.unlock();
}

std::string AddressOf(const std::string &name) {
    return Shortened(kAddressPrefix + std::to_string(geteuid()) + "/" + name, kMaxAddress);
}

std::string FallbackDirectory() {
    return Place().directory;
}

void SetFallbackDirectoryForTesting(const char *directory) {
    std::lock_guard<std::mutex> guard(g_fallbackLock);
    g_fallbackForTesting = directory != nullptr ? directory : "";
}

} // namespace NamedClaim
