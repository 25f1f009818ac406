#include "NamedObjectFiles.h"

#include "GUtils.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"NamedObjectFiles.cpp";

namespace NamedObjectFiles {
namespace {

constexpr char kDefaultBase[] = "/dev/shm";
constexpr char kDirectoryPrefix[] = "/Ostrel_lib-";
constexpr char kTemporaryPrefix[] = ".new.";
// Each further attempt follows a removal or a creation by another process
// between two steps of this one; many in a row mean something is wrong.
constexpr int kOpenAttempts = 100;
constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;

std::mutex g_baseLock;
std::string g_base = kDefaultBase;

// Blocking calls come back with EINTR when a signal handler of the host runs.
template <typename Call> auto RetryOnInterrupt(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

std::wstring Wide(const std::string &text) {
    return std::wstring(text.begin(), text.end());
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { Reset(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int Get() const { return m_fd; }
    int Take() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd;
};

// This user's directory, made private if it is not yet; -1 when it is not
// this user's own (or cannot be made).
int OpenDirectory(const std::string &path) {
    if (mkdir(path.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        OSTREL_TRACE(L"cannot make " << Wide(path) << L", errno " << errno);
        return -1;
    }
    FileDescriptor directory(
        RetryOnInterrupt([&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat info {};
    if (directory.Get() < 0 || fstat(directory.Get(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != geteuid()) {
        OSTREL_TRACE(Wide(path) << L" is not a directory of this user's own, errno " << errno);
        return -1;
    }
    // Files others may have put there meanwhile are refused one by one.
    if ((info.st_mode & kGroupAndOthers) != 0 && fchmod(directory.Get(), S_IRWXU) != 0) {
        OSTREL_TRACE(L"cannot make " << Wide(path) << L" private, errno " << errno);
        return -1;
    }
    return directory.Take();
}

bool IsOwnPrivateFile(int fd, size_t size) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & kGroupAndOthers) == 0 && info.st_size == static_cast<off_t>(size);
}

bool IsLinked(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && info.st_nlink > 0;
}

// A record lock over the whole file; `wait` blocks while another process
// holds a conflicting one.
bool LockFile(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return RetryOnInterrupt([&] { return fcntl(fd, wait ? F_SETLKW : F_SETLK, &lock); }) == 0;
}

enum class Made { Yes, NameTaken, Failed };

// Makes a complete, held object file under the name. NameTaken when another
// process linked one there first.
Made MakeObjectFile(int directory, const std::string &fileName, size_t size, Initialise initialise, int &out) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary = kTemporaryPrefix + std::to_string(getpid()) + "." + std::to_string(++counter);
    FileDescriptor file(RetryOnInterrupt([&] {
        return openat(directory, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      S_IRUSR | S_IWUSR);
    }));
    if (file.Get() < 0)
        return Made::Failed;
    bool ready = RetryOnInterrupt([&] { return ftruncate(file.Get(), static_cast<off_t>(size)); }) == 0;
    void *memory = ready ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file.Get(), 0) : MAP_FAILED;
    ready = memory != MAP_FAILED && initialise(memory);
    if (memory != MAP_FAILED)
        munmap(memory, size);
    // Held before it has a name, so that no other process can remove it
    // between the link and this process's lock.
    ready = ready && LockFile(file.Get(), F_RDLCK, false);
    const int linked = ready ? linkat(directory, temporary.c_str(), directory, fileName.c_str(), 0) : -1;
    const int linkError = errno;
    unlinkat(directory, temporary.c_str(), 0);
    if (linked != 0)
        return ready && linkError == EEXIST ? Made::NameTaken : Made::Failed;
    out = file.Take();
    return Made::Yes;
}

// The held file of the name, or -1.
int OpenHeldFile(int directory, const std::string &fileName, size_t size, Initialise initialise) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        FileDescriptor file(
            RetryOnInterrupt([&] { return openat(directory, fileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC); }));
        if (file.Get() < 0) {
            if (errno != ENOENT) {
                OSTREL_TRACE(L"cannot open the named object " << Wide(fileName) << L", errno " << errno);
                return -1;
            }
            int made = -1;
            switch (MakeObjectFile(directory, fileName, size, initialise, made)) {
            case Made::Yes:
                return made;
            case Made::NameTaken:
                continue;
            case Made::Failed:
                OSTREL_TRACE(L"cannot make the named object " << Wide(fileName) << L", errno " << errno);
                return -1;
            }
        }
        if (!IsOwnPrivateFile(file.Get(), size)) {
            OSTREL_TRACE(L"the named object " << Wide(fileName) << L" is not this user's own");
            return -1;
        }
        if (!LockFile(file.Get(), F_RDLCK, true)) {
            OSTREL_TRACE(L"cannot hold the named object " << Wide(fileName) << L", errno " << errno);
            return -1;
        }
        // Its last holder removed it while this process waited for the lock:
        // the name is free again.
        if (IsLinked(file.Get()))
            return file.Take();
    }
    OSTREL_TRACE(L"the named object " << Wide(fileName) << L" keeps changing under its name");
    return -1;
}

} // namespace

std::string FileName(const std::string &name) {
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
    return out;
}

bool Open(const std::string &fileName, size_t size, Initialise initialise, Object &out) {
    const std::string directoryPath = DirectoryPath();
    FileDescriptor directory(OpenDirectory(directoryPath));
    if (directory.Get() < 0)
        return false;
    FileDescriptor file(OpenHeldFile(directory.Get(), fileName, size, initialise));
    if (file.Get() < 0)
        return false;
    void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file.Get(), 0);
    if (memory == MAP_FAILED) {
        OSTREL_TRACE(L"cannot map the named object " << Wide(fileName) << L", errno " << errno);
        return false;
    }
    out.memory = memory;
    out.size = size;
    out.file = file.Take();
    out.directory = directoryPath;
    out.name = fileName;
    return true;
}

bool Release(Object &object) {
    FileDescriptor file(object.file);
    object.file = -1;
    if (file.Get() < 0 || !LockFile(file.Get(), F_WRLCK, false))
        return false;
    // No other process holds it, and none can start to while the write lock
    // stands. The name is removed only if it is still this file.
    FileDescriptor directory(RetryOnInterrupt(
        [&] { return open(object.directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat mine {
    }, named{};
    if (directory.Get() >= 0 && fstat(file.Get(), &mine) == 0 &&
        fstatat(directory.Get(), object.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
        unlinkat(directory.Get(), object.name.c_str(), 0);
    return true;
}

std::string DirectoryPath() {
    std::lock_guard<std::mutex> lock(g_baseLock);
    return g_base + kDirectoryPrefix + std::to_string(geteuid());
}

void SetBaseDirectoryForTesting(const char *base) {
    std::lock_guard<std::mutex> lock(g_baseLock);
    g_base = base != nullptr ? base : kDefaultBase;
}

} // namespace NamedObjectFiles
