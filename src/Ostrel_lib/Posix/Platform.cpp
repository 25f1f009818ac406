// The platform layer on Linux: Windows kernel-object semantics on pthreads.
//
// Mutexes. A Windows mutex is owned by a thread, re-entrant for it, released
// only by its owner, and a wait that finds the owner gone (thread or process
// ended while holding it) succeeds as "abandoned". A named one is one object
// for every process that opens the name. Every mutex here is therefore a
// robust, recursive pthread mutex:
// - EPERM from pthread_mutex_unlock is the non-owner release;
// - EOWNERDEAD is the abandoned wait: the waiter makes it consistent and owns
//   it (the kernel's robust-futex list covers threads and whole processes);
// - timed waits use pthread_mutex_clocklock on CLOCK_MONOTONIC, so wall-clock
//   steps do not stretch or cut the 1 ms and 500 ms tries (a ThreadSanitizer
//   build polls trylock instead, see LockMutex);
// - the owner's thread id and depth sit beside the mutex, so that a release by
//   a non-owner is refused before unlock is called.
// A named mutex is one of these, private to its process, plus a claim on the
// name that keeps the user's processes apart (NamedClaim.h): the claim is
// taken by the thread that takes the mutex when its process does not hold it
// yet, and given back by the release that frees the mutex, before it is
// unlocked. Its owner's and its depth are therefore this process's alone, and
// an abandoned wait across processes is one whose previous holder ended (or
// closed its last handle) holding it while this process waited for it.
//
// Inside one process every handle of a name shares one mutex (a registry
// keyed by name). That makes same-name handles literally one mutex here, and
// gives one exact count of the acquisitions held through it. The count
// matters because glibc links a held robust mutex into its owner's
// per-thread list through the mutex memory itself: unmapping (or freeing) it
// while a thread still holds it would corrupt that list. When the last handle
// closes, the mutex leaves the registry and gives its claim up (the name's
// next handle gets a fresh mutex, as after the last handle of a Windows name),
// and its memory is unmapped, unless a thread still holds it: if that is the
// closing thread, it is released first; otherwise the memory stays mapped for
// good (see CloseMutex). Unnamed mutexes are the same with one handle.
//
// Thread priorities: the OS scheduler is not changed. Raising a priority needs
// privileges, and a thread that lowers its own (raises its nice value) cannot
// go back up without them, so the priority mutex's ceiling protocol would get
// stuck. The calling
// thread's priority is kept in a thread_local so that reads return what was
// set, per thread, which is all the core relies on.
#include "Platform.h"

#include "GUtils.h"
#include "NamedClaim.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

static const wchar_t kTraceModule[] = L"Platform.cpp";

namespace Platform {
namespace {

// ---------------------------------------------------------------- time

timespec MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec MonotonicDeadline(uint32_t timeoutMs) {
    timespec deadline = MonotonicNow();
    deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000u);
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// ---------------------------------------------------------------- handles

// First member of every object behind a Handle, so that a handle of the wrong
// kind (or a stale one still holding its tag) is refused rather than misused.
enum class ObjectKind : uint32_t { Mutex = 0x4d757478u, Semaphore = 0x53656d61u, Dead = 0xdeadu };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    ObjectKind kind;
};

// ---------------------------------------------------------------- mutexes

constexpr uint32_t kMutexReady = 0x4f4d7403u;

// The memory of one mutex: an anonymous private mapping.
struct MutexMemory {
    uint32_t ready; // kMutexReady once the rest is initialised
    pthread_mutex_t mutex;
    // Written only by the owner while it owns the mutex. They let a release by
    // a thread that does not own it be refused without calling unlock (which
    // ThreadSanitizer would report as misuse).
    std::atomic<int32_t> ownerThread; // kernel thread id; 0 when free
    int32_t depth;                    // the owner's acquisitions
};

// One mutex, shared by all its handles.
struct MutexBody {
    MutexMemory *memory = nullptr;
    std::string name;                         // UTF-8; empty for an unnamed mutex
    std::unique_ptr<NamedClaim::Claim> claim; // of a named mutex
    bool claimHeld = false;                   // changed only by the mutex's owner
    uint32_t process = 0;                     // that made it; a fork's child does not use it
    int handles = 0;                          // open handles; guarded by RegistryLock
    // Acquisitions held by threads of this process. Changed only by the owner
    // while it owns the mutex; read by CloseMutex.
    std::atomic<int> holds{0};
};

struct MutexObject : KernelObject {
    explicit MutexObject(MutexBody *b) : KernelObject(ObjectKind::Mutex), body(b) {}
    MutexBody *body;
};

void LockBeforeFork();
void UnlockInParent();
void UnlockInChild();

// Held for short steps only. A fork waits for it and then for the claims'
// own lock, in the order the code here takes them, so that a child can make
// mutexes of its own and holds no copy of its parent's claims.
std::mutex &RegistryLock() {
    static std::mutex *lock = [] {
        auto *made = new std::mutex(); // outlives static destructors
        pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);
        return made;
    }();
    return *lock;
}

void LockBeforeFork() {
    RegistryLock().lock();
    NamedClaim::LockBeforeFork();
}

void UnlockInParent() {
    NamedClaim::UnlockAfterFork(false);
    RegistryLock().unlock();
}

void UnlockInChild() {
    NamedClaim::UnlockAfterFork(true);
    RegistryLock().unlock();
}

std::map<std::string, MutexBody *> &Registry() {
    static auto *registry = new std::map<std::string, MutexBody *>(); // outlives static destructors
    return *registry;
}

bool InitRobustMutex(MutexMemory *memory) {
    new (memory) MutexMemory();
    pthread_mutex_t *mutex = &memory->mutex;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 && pthread_mutex_init(mutex, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// UTF-32 to UTF-8; invalid code points become U+FFFD.
void AppendUtf8(std::string &out, uint32_t c) {
    if (c > 0x10FFFFu || (c >= 0xD800u && c <= 0xDFFFu))
        c = 0xFFFDu;
    if (c < 0x80u) {
        out += static_cast<char>(c);
    } else if (c < 0x800u) {
        out += static_cast<char>(0xC0u | (c >> 6));
        out += static_cast<char>(0x80u | (c & 0x3Fu));
    } else if (c < 0x10000u) {
        out += static_cast<char>(0xE0u | (c >> 12));
        out += static_cast<char>(0x80u | ((c >> 6) & 0x3Fu));
        out += static_cast<char>(0x80u | (c & 0x3Fu));
    } else {
        out += static_cast<char>(0xF0u | (c >> 18));
        out += static_cast<char>(0x80u | ((c >> 12) & 0x3Fu));
        out += static_cast<char>(0x80u | ((c >> 6) & 0x3Fu));
        out += static_cast<char>(0x80u | (c & 0x3Fu));
    }
}

std::string ToUtf8(const wchar_t *text) {
    std::string out;
    for (; *text != L'\0'; ++text)
        AppendUtf8(out, static_cast<uint32_t>(*text));
    return out;
}

// UTF-8 to UTF-32; bytes that do not decode become U+FFFD.
std::wstring FromUtf8(const std::string &text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80           ? 1
                              : (lead >> 5) == 0x6  ? 2
                              : (lead >> 4) == 0xE  ? 3
                              : (lead >> 3) == 0x1E ? 4
                                                    : 0;
        uint32_t c = length == 1 ? lead : length == 0 ? 0 : lead & (0x7Fu >> length);
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3Fu);
        }
        out += valid ? static_cast<wchar_t>(c) : L'\uFFFD';
        i += valid ? length : 1;
    }
    return out;
}

thread_local std::wstring t_mutexFailure;

void NoteMutexFailure(const std::wstring &why) {
    t_mutexFailure = why;
    OSTREL_TRACE(why);
}

MutexMemory *MapPrivateMutex() {
    void *address = mmap(nullptr, sizeof(MutexMemory), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    auto *memory = static_cast<MutexMemory *>(address);
    if (!InitRobustMutex(memory)) {
        munmap(address, sizeof(MutexMemory));
        return nullptr;
    }
    memory->ready = kMutexReady;
    return memory;
}

MutexBody *OpenPrivateBody() {
    MutexMemory *memory = MapPrivateMutex();
    if (memory == nullptr)
        return nullptr;
    auto *body = new (std::nothrow) MutexBody();
    if (body == nullptr) {
        munmap(memory, sizeof(MutexMemory));
        return nullptr;
    }
    body->memory = memory;
    return body;
}

// Caller holds RegistryLock. Nothing outside the process is touched until a
// wait takes the claim.
MutexBody *OpenNamedBody(const wchar_t *name) {
    const std::string utf8 = ToUtf8(name);
    auto found = Registry().find(utf8);
    if (found != Registry().end() && found->second->process == CurrentProcessId())
        return found->second;
    // One inherited through fork stays with its handles; the name gets a
    // mutex of this process.
    MutexBody *body = OpenPrivateBody();
    if (body == nullptr) {
        NoteMutexFailure(std::wstring(L"no memory for the mutex ") + name);
        return nullptr;
    }
    body->name = utf8;
    body->claim.reset(new (std::nothrow) NamedClaim::Claim(utf8));
    body->process = CurrentProcessId();
    if (!body->claim) {
        munmap(body->memory, sizeof(MutexMemory));
        delete body;
        NoteMutexFailure(std::wstring(L"no memory for the mutex ") + name);
        return nullptr;
    }
    Registry()[utf8] = body;
    return body;
}

bool IsNamed(const MutexBody *body) {
    return !body->name.empty();
}

// A named mutex inherited through fork holds nothing here.
bool IsForeignToThisProcess(const MutexBody *body) {
    if (!IsNamed(body) || body->process == CurrentProcessId())
        return false;
    NoteMutexFailure(L"the mutex " + FromUtf8(body->name) +
                     L" belongs to the parent of this forked process: call Ostrel_Init in the child");
    return true;
}

// The owner's first acquisition: takes the claim unless this process holds
// it, in what is left of a wait that began at `start`. Acquired, Abandoned
// (its holder ended while holding), TimedOut or Failed.
WaitResult TakeClaim(MutexBody *body, uint32_t timeoutMs, uint32_t start) {
    if (!IsNamed(body) || body->claimHeld)
        return WaitResult::Acquired;
    const uint32_t elapsed = GetTickCount() - start;
    const uint32_t left = timeoutMs == kInfinite ? kInfinite : elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    switch (body->claim->Take(left)) {
    case NamedClaim::Outcome::Held:
        body->claimHeld = true;
        return WaitResult::Acquired;
    case NamedClaim::Outcome::HeldAfterHolderEnded:
        body->claimHeld = true;
        return WaitResult::Abandoned;
    case NamedClaim::Outcome::Busy:
        return WaitResult::TimedOut;
    case NamedClaim::Outcome::Failed:
        break;
    }
    NoteMutexFailure(L"the named mutex " + FromUtf8(body->name) + L" cannot be had: " +
                     FromUtf8(body->claim->Failure()));
    return WaitResult::Failed;
}

// released false: the holder lets go without releasing (its last handle
// closed while it held the mutex), which waiters take as abandoned.
void GiveClaim(MutexBody *body, bool released) {
    if (!IsNamed(body) || !body->claimHeld)
        return;
    body->claimHeld = false;
    body->claim->Give(released);
}

// Cached per thread: every mutex wait and release asks for it, and the system
// call dominated the receive path. A forked child's only thread gets a new id,
// so the cache is dropped there.
thread_local int32_t t_threadId = 0;

void ForgetThreadIdInChild() {
    t_threadId = 0;
}

int32_t CurrentThreadId() {
    if (t_threadId == 0) {
        static const int atforkRegistered = pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild);
        (void)atforkRegistered;
        t_threadId = static_cast<int32_t>(gettid());
    }
    return t_threadId;
}

// Cached likewise, for the named mutexes' check that they are this process's.
std::atomic<uint32_t> g_processId{0};

void NoteProcessIdInChild() {
    g_processId.store(static_cast<uint32_t>(getpid()));
}

// Gives up every acquisition, when all that were made through this mapping
// are the calling thread's; false otherwise.
bool ReleaseAllOfCaller(MutexBody *body) {
    MutexMemory *memory = body->memory;
    if (memory->ownerThread.load(std::memory_order_relaxed) != CurrentThreadId())
        return false;
    const int32_t depth = memory->depth;
    if (depth != body->holds.load())
        return false;
    memory->ownerThread.store(0, std::memory_order_relaxed);
    memory->depth = 0;
    body->holds.store(0);
    GiveClaim(body, false);
    for (int32_t i = 0; i < depth; ++i)
        pthread_mutex_unlock(&memory->mutex);
    return true;
}

void CloseMutex(MutexObject *object) {
    MutexBody *body = object->body;
    object->kind = ObjectKind::Dead;
    delete object;
    std::lock_guard<std::mutex> lock(RegistryLock());
    if (--body->handles > 0)
        return;
    // The process's last handle: the name's next handle gets a fresh mutex,
    // so what the closing thread still holds of this one can go, and the name
    // is let go whoever holds it (as abandoned: its owner did not release
    // it). Anything held by another thread stays mapped for good: the
    // holder's robust list runs through that memory. Only the page is kept.
    auto named = Registry().find(body->name);
    if (IsNamed(body) && named != Registry().end() && named->second == body)
        Registry().erase(named);
    const bool inherited = IsNamed(body) && body->process != CurrentProcessId();
    const bool held = body->holds.load() > 0 && (inherited || !ReleaseAllOfCaller(body));
    body->claim.reset();
    if (!held) {
        pthread_mutex_destroy(&body->memory->mutex);
        munmap(body->memory, sizeof(MutexMemory));
    }
    delete body;
}

MutexObject *AsMutex(Handle handle) {
    auto *object = static_cast<KernelObject *>(handle);
    return object != nullptr && object->kind == ObjectKind::Mutex ? static_cast<MutexObject *>(object) : nullptr;
}

#if defined(__SANITIZE_THREAD__)
// This ThreadSanitizer does not intercept pthread_mutex_clocklock, and its
// pthread_mutex_timedlock ignores EOWNERDEAD; it models trylock fully. So the
// instrumented build polls trylock for timed waits, on the same clock.
int LockMutex(pthread_mutex_t *mutex, uint32_t timeoutMs) {
    if (timeoutMs == kInfinite)
        return pthread_mutex_lock(mutex);
    timespec deadline = MonotonicDeadline(timeoutMs);
    for (;;) {
        int rc = pthread_mutex_trylock(mutex);
        timespec now = MonotonicNow();
        bool late = now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
        if (rc != EBUSY || late)
            return rc;
        timespec pause{0, 200 * 1000};
        nanosleep(&pause, nullptr);
    }
}
#else
int LockMutex(pthread_mutex_t *mutex, uint32_t timeoutMs) {
    if (timeoutMs == kInfinite)
        return pthread_mutex_lock(mutex);
    if (timeoutMs == 0)
        return pthread_mutex_trylock(mutex);
    timespec deadline = MonotonicDeadline(timeoutMs);
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

// ---------------------------------------------------------------- semaphores

struct SemaphoreObject : KernelObject {
    SemaphoreObject() : KernelObject(ObjectKind::Semaphore) {}
    pthread_mutex_t lock;
    pthread_cond_t available; // signalled on CLOCK_MONOTONIC
    int32_t count = 0;
    int32_t maximum = 0;
};

SemaphoreObject *AsSemaphore(Handle handle) {
    auto *object = static_cast<KernelObject *>(handle);
    return object != nullptr && object->kind == ObjectKind::Semaphore ? static_cast<SemaphoreObject *>(object)
                                                                      : nullptr;
}

bool InitMonotonicCondition(pthread_cond_t *condition) {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    bool ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(condition, &attr) == 0;
    pthread_condattr_destroy(&attr);
    return ok;
}

void CloseSemaphore(SemaphoreObject *semaphore) {
    semaphore->kind = ObjectKind::Dead;
    pthread_cond_destroy(&semaphore->available);
    pthread_mutex_destroy(&semaphore->lock);
    delete semaphore;
}

// ---------------------------------------------------------------- threads

// The values SetThreadPriority accepts for a normal-class process.
bool IsThreadPriority(int priority) {
    switch (priority) {
    case -15: // idle
    case -2:  // lowest
    case kThreadPriorityBelowNormal:
    case kThreadPriorityNormal:
    case kThreadPriorityAboveNormal:
    case kThreadPriorityHighest:
    case kThreadPriorityTimeCritical:
        return true;
    default:
        return false;
    }
}

thread_local int t_threadPriority = kThreadPriorityNormal;

// Sanitizer-instrumented frames are large; tiny stacks would overflow.
constexpr size_t kMinimumStackSize = 256 * 1024;

struct ThreadStart {
    ThreadProc proc;
    void *argument;
    int priority;
};

void *ThreadEntry(void *raw) {
    ThreadStart start = *static_cast<ThreadStart *>(raw);
    delete static_cast<ThreadStart *>(raw);
    SetCurrentThreadPriority(start.priority);
    start.proc(start.argument);
    return nullptr;
}

bool SetStackSize(pthread_attr_t *attr, uint32_t stackSize) {
    if (stackSize == 0)
        return true;
    size_t size = stackSize < kMinimumStackSize ? kMinimumStackSize : stackSize;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size = (size + page - 1) / page * page;
    return pthread_attr_setstacksize(attr, size) == 0;
}

// ---------------------------------------------------------------- debug output

// False when not every byte could be written; errno tells why.
bool WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Standard error may be a pipe whose reader has gone; that must not end the
// host by SIGPIPE. The signal is held back on this thread for the write, and
// one that the write raised is taken back before the mask is restored.
void WriteWithoutPipeSignal(int fd, const std::string &bytes) {
    sigset_t pipeSignal;
    sigset_t saved;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipeSignal, &saved) != 0) {
        WriteAll(fd, bytes);
        return;
    }
    sigset_t pending;
    sigemptyset(&pending);
    const bool pendingBefore = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    if (!WriteAll(fd, bytes) && errno == EPIPE && !pendingBefore) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &now) == -1 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

} // namespace

// ---------------------------------------------------------------- interface

uint32_t GetTickCount() {
    timespec now = MonotonicNow();
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec / 1000000L);
    return static_cast<uint32_t>(ms);
}

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    do {
        timespec deadline = MonotonicDeadline(milliseconds == kInfinite ? 3600u * 1000u : milliseconds);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
    } while (milliseconds == kInfinite);
}

Handle CreateKernelMutex(const wchar_t *name) {
    bool named = name != nullptr && *name != L'\0';
    auto *object = new (std::nothrow) MutexObject(nullptr);
    if (object == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(RegistryLock());
    object->body = named ? OpenNamedBody(name) : OpenPrivateBody();
    if (object->body == nullptr) {
        delete object;
        return nullptr;
    }
    ++object->body->handles;
    return object;
}

WaitResult WaitForMutex(Handle mutex, uint32_t timeoutMs) {
    MutexObject *object = AsMutex(mutex);
    if (object == nullptr)
        return WaitResult::Failed;
    MutexBody *body = object->body;
    if (IsForeignToThisProcess(body))
        return WaitResult::Failed;
    MutexMemory *memory = body->memory;
    int32_t self = CurrentThreadId();
    const uint32_t start = IsNamed(body) ? GetTickCount() : 0;
    // Most waits find the mutex free or already the caller's: try it before
    // paying for a deadline.
    int rc = pthread_mutex_trylock(&memory->mutex);
    if (rc == EBUSY && timeoutMs != 0)
        rc = LockMutex(&memory->mutex, timeoutMs);
    switch (rc) {
    case 0: {
        if (memory->ownerThread.load(std::memory_order_relaxed) == self) {
            ++memory->depth;
            body->holds.fetch_add(1);
            return WaitResult::Acquired;
        }
        const WaitResult claimed = TakeClaim(body, timeoutMs, start);
        if (!IsAcquired(claimed)) {
            pthread_mutex_unlock(&memory->mutex);
            return claimed;
        }
        memory->ownerThread.store(self, std::memory_order_relaxed);
        memory->depth = 1;
        body->holds.fetch_add(1);
        return claimed;
    }
    case EOWNERDEAD: {
        // The dead owner's count is void: this thread now holds it once, and
        // no other thread of this process holds it. The claim is still this
        // process's, unless the owner died while taking it.
        pthread_mutex_consistent(&memory->mutex);
        memory->ownerThread.store(0, std::memory_order_relaxed);
        body->holds.store(0);
        const WaitResult claimed = TakeClaim(body, timeoutMs, start);
        if (!IsAcquired(claimed)) {
            pthread_mutex_unlock(&memory->mutex);
            return claimed;
        }
        memory->ownerThread.store(self, std::memory_order_relaxed);
        memory->depth = 1;
        body->holds.store(1);
        return WaitResult::Abandoned;
    }
    case ETIMEDOUT:
    case EBUSY:
        return WaitResult::TimedOut;
    default:
        OSTREL_TRACE(L"mutex wait failed, error " << rc);
        return WaitResult::Failed;
    }
}

bool ReleaseMutex(Handle mutex) {
    MutexObject *object = AsMutex(mutex);
    if (object == nullptr)
        return false;
    MutexBody *body = object->body;
    if (IsForeignToThisProcess(body))
        return false;
    MutexMemory *memory = body->memory;
    int32_t self = CurrentThreadId();
    if (memory->ownerThread.load(std::memory_order_relaxed) != self)
        return false;
    // Bookkeeping before unlocking: once unlocked, another thread may own it.
    bool last = --memory->depth == 0;
    if (last) {
        memory->ownerThread.store(0, std::memory_order_relaxed);
        GiveClaim(body, true);
    }
    body->holds.fetch_sub(1);
    if (pthread_mutex_unlock(&memory->mutex) == 0)
        return true;
    // Refused: the owner recorded was a dead thread whose id this one reuses.
    // The claim stays given up: the next owner takes it again.
    body->holds.fetch_add(1);
    if (last)
        memory->ownerThread.store(self, std::memory_order_relaxed);
    ++memory->depth;
    return false;
}

std::wstring LastMutexFailure() {
    return t_mutexFailure;
}

uint32_t CurrentProcessId() {
    uint32_t id = g_processId.load();
    if (id == 0) {
        static const int atforkRegistered = pthread_atfork(nullptr, nullptr, NoteProcessIdInChild);
        (void)atforkRegistered;
        id = static_cast<uint32_t>(getpid());
        g_processId.store(id);
    }
    return id;
}

Handle CreateKernelSemaphore(int32_t initialCount, int32_t maximumCount) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount)
        return nullptr;
    auto *semaphore = new (std::nothrow) SemaphoreObject();
    if (semaphore == nullptr)
        return nullptr;
    if (pthread_mutex_init(&semaphore->lock, nullptr) != 0) {
        delete semaphore;
        return nullptr;
    }
    if (!InitMonotonicCondition(&semaphore->available)) {
        pthread_mutex_destroy(&semaphore->lock);
        delete semaphore;
        return nullptr;
    }
    semaphore->count = initialCount;
    semaphore->maximum = maximumCount;
    return semaphore;
}

WaitResult WaitForSemaphore(Handle semaphore, uint32_t timeoutMs) {
    SemaphoreObject *object = AsSemaphore(semaphore);
    if (object == nullptr)
        return WaitResult::Failed;
    timespec deadline = MonotonicDeadline(timeoutMs == kInfinite ? 0 : timeoutMs);
    pthread_mutex_lock(&object->lock);
    int rc = 0;
    while (object->count == 0 && rc == 0) {
        if (timeoutMs == kInfinite)
            rc = pthread_cond_wait(&object->available, &object->lock);
        else
            rc = pthread_cond_timedwait(&object->available, &object->lock, &deadline);
    }
    bool acquired = object->count > 0;
    if (acquired)
        --object->count;
    pthread_mutex_unlock(&object->lock);
    return acquired ? WaitResult::Acquired : WaitResult::TimedOut;
}

bool ReleaseSemaphore(Handle semaphore, int32_t count) {
    SemaphoreObject *object = AsSemaphore(semaphore);
    if (object == nullptr || count <= 0)
        return false;
    pthread_mutex_lock(&object->lock);
    bool fits = count <= object->maximum - object->count;
    if (fits) {
        object->count += count;
        pthread_cond_broadcast(&object->available);
    }
    pthread_mutex_unlock(&object->lock);
    return fits;
}

void CloseHandle(Handle handle) {
    if (MutexObject *mutex = AsMutex(handle))
        CloseMutex(mutex);
    else if (SemaphoreObject *semaphore = AsSemaphore(handle))
        CloseSemaphore(semaphore);
}

int GetCurrentThreadPriority() {
    return t_threadPriority;
}

bool SetCurrentThreadPriority(int priority) {
    if (!IsThreadPriority(priority))
        return false;
    t_threadPriority = priority;
    return true;
}

bool StartThread(ThreadProc proc, void *argument, int priority, uint32_t stackSize) {
    if (proc == nullptr)
        return false;
    auto *start = new (std::nothrow) ThreadStart{proc, argument, priority};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return false;
    }
    pthread_t thread;
    bool started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 && SetStackSize(&attr, stackSize) &&
                   pthread_create(&thread, &attr, ThreadEntry, start) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        delete start;
        OSTREL_TRACE(L"thread start failed");
    }
    return started;
}

void OutputDebugText(const wchar_t *text) {
    if (text == nullptr)
        return;
    // One write, so that lines of different threads do not interleave.
    WriteWithoutPipeSignal(STDERR_FILENO, ToUtf8(text));
}

bool GetOsVersion(OsVersion &out) {
    out = OsVersion{};
    return false;
}

void *LoadSharedLibrary(const char *baseName, int abiVersion) {
    if (baseName == nullptr)
        return nullptr;
    std::string file = std::string("lib") + baseName + ".so";
    if (abiVersion >= 0)
        file += "." + std::to_string(abiVersion);
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void *FindLibraryFunction(void *library, int /*ordinal*/, const char *name) {
    if (library == nullptr || name == nullptr)
        return nullptr;
    return dlsym(library, name);
}

} // namespace Platform
