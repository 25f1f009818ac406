// The one door from the portable core to the operating system.
//
// Only the kernel services the library needs live here: the tick count and
// sleep, kernel mutexes (named and unnamed), semaphores, threads started at a
// priority, the calling thread's priority, the debugger-output sink and the OS
// version. Win32/Platform.cpp calls the Windows API; Posix/Platform.cpp gives
// the same semantics on Linux (see the comment at its top for how).
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

// Names avoid the A/W macros of <windows.h> (CreateMutex, CreateSemaphore...),
// so that Win32/Platform.cpp can include both.

// An opaque kernel object: a mutex or a semaphore. Null means none.
using Handle = void *;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Milliseconds since an arbitrary start; wraps after 49.7 days. Always compare
// by unsigned difference.
uint32_t GetTickCount();
void Sleep(uint32_t milliseconds);

enum class WaitResult {
    Acquired,  // the wait got the object
    Abandoned, // got it, but its owner ended while holding it
    TimedOut,
    Failed, // bad handle or platform error
};

inline bool IsAcquired(WaitResult r) {
    return r == WaitResult::Acquired || r == WaitResult::Abandoned;
}

// Kernel mutexes: owned by the thread that acquired them and re-entrant for
// it (each successful wait needs one release). A mutex with a non-empty name
// is one object for every process of the user (on Windows, of the session)
// that creates the same name; a null or empty name gives a mutex private to
// the returned handle. Created not owned. A named mutex belongs to the process
// that created it: in a child made by fork its handles are refused (Failed,
// false) and hold nothing.
Handle CreateKernelMutex(const wchar_t *name);
WaitResult WaitForMutex(Handle mutex, uint32_t timeoutMs);
// False when the calling thread does not own the mutex.
bool ReleaseMutex(Handle mutex);
// Why the calling thread's last CreateKernelMutex or WaitForMutex that failed
// on a named mutex failed, naming the object: for the host's messages.
std::wstring LastMutexFailure();

// The calling process's id (a child made by fork has its own).
uint32_t CurrentProcessId();

// Counting semaphores (unnamed).
Handle CreateKernelSemaphore(int32_t initialCount, int32_t maximumCount);
WaitResult WaitForSemaphore(Handle semaphore, uint32_t timeoutMs);
// False when the count would pass its maximum.
bool ReleaseSemaphore(Handle semaphore, int32_t count);

// Closes a mutex or a semaphore handle. Null is ignored.
void CloseHandle(Handle object);

// Thread priorities use the Windows values: -1 below normal, 0 normal,
// 1 above normal, 2 highest, 15 time critical.
constexpr int kThreadPriorityBelowNormal = -1;
constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;
constexpr int kThreadPriorityTimeCritical = 15;
// What GetCurrentThreadPriority answers when the platform cannot tell.
constexpr int kThreadPriorityErrorReturn = 0x7FFFFFFF;

int GetCurrentThreadPriority();
bool SetCurrentThreadPriority(int priority);

using ThreadProc = uint32_t (*)(void *argument);
// Starts a detached thread running proc(argument) at the given priority.
// stackSize 0 takes the platform's default. The platform owns the thread's
// handle and closes it when the thread ends; the result only says whether the
// thread was started.
bool StartThread(ThreadProc proc, void *argument, int priority, uint32_t stackSize);

// Hands one line of text to the debugger output (OutputDebugStringW on
// Windows, standard error as UTF-8 elsewhere).
void OutputDebugText(const wchar_t *text);

struct OsVersion {
    uint32_t platformId; // 2 for the NT family
    uint32_t major;
    uint32_t minor;
    uint32_t servicePackMajor;
};
constexpr uint32_t kPlatformWin32Nt = 2;
// False when the system does not answer (POSIX has no Windows version).
bool GetOsVersion(OsVersion &out);

// Loads a shared library by its base name ("ZEL_WidI": ZEL_WidI.dll on
// Windows, libZEL_WidI.so elsewhere) from the system's usual search path.
// A system library that is installed only under its ABI version names it
// (abiVersion 3: libdbus-1.so.3); Windows ignores it. Null when it cannot be
// loaded. Never unloaded: its threads may still run.
void *LoadSharedLibrary(const char *baseName, int abiVersion = -1);
// One of its functions: by ordinal on Windows (where such libraries export
// by ordinal only), by name elsewhere. Null when missing.
void *FindLibraryFunction(void *library, int ordinal, const char *name);

} // namespace Platform
