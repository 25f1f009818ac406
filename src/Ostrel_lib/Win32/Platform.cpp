// The platform layer on Windows: thin calls into the Windows API. Handles are
// the kernel's own HANDLEs, so mutexes and semaphores keep every property the
// core relies on (thread ownership, re-entry, abandonment, names shared by
// all processes of the session) without any code here.
#include "Platform.h"

#include "GPortRef.h"
#include "GUtils.h"

#include <algorithm>
#include <new>
#include <string>

#include <windows.h>

static const wchar_t kTraceModule[] = L"Platform.cpp";

namespace Platform {
namespace {

static_assert(kInfinite == INFINITE, "time-outs are passed through");
static_assert(kThreadPriorityErrorReturn == THREAD_PRIORITY_ERROR_RETURN, "priorities are passed through");
static_assert(kThreadPriorityBelowNormal == THREAD_PRIORITY_BELOW_NORMAL &&
                  kThreadPriorityNormal == THREAD_PRIORITY_NORMAL &&
                  kThreadPriorityAboveNormal == THREAD_PRIORITY_ABOVE_NORMAL &&
                  kThreadPriorityHighest == THREAD_PRIORITY_HIGHEST &&
                  kThreadPriorityTimeCritical == THREAD_PRIORITY_TIME_CRITICAL,
              "priorities are passed through");

WaitResult WaitForObject(Handle object, uint32_t timeoutMs) {
    if (object == nullptr)
        return WaitResult::Failed;
    switch (WaitForSingleObject(object, timeoutMs)) {
    case WAIT_OBJECT_0:
        return WaitResult::Acquired;
    case WAIT_ABANDONED:
        return WaitResult::Abandoned;
    case WAIT_TIMEOUT:
        return WaitResult::TimedOut;
    default:
        OSTREL_TRACE(L"WaitForSingleObject failed, error " << GetLastError());
        return WaitResult::Failed;
    }
}

// ThreadProc has the C calling convention, CreateThread wants WINAPI.
struct ThreadStart {
    ThreadProc proc;
    void *argument;
};

DWORD WINAPI ThreadEntry(LPVOID raw) {
    ThreadStart start = *static_cast<ThreadStart *>(raw);
    delete static_cast<ThreadStart *>(raw);
    return start.proc(start.argument);
}

// The machine this module runs on: a library built for another (a 32-bit
// shim beside a 64-bit host) cannot run in this process.
#if defined(__x86_64__) || defined(_M_X64)
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kOwnMachine = IMAGE_FILE_MACHINE_I386;
#endif

// Trivially destructible: thread_local objects with destructors are fragile
// in a DLL.
thread_local wchar_t t_mutexFailure[512];

void NoteMutexFailure(const std::wstring &why) {
    const size_t n = std::min(why.size(), sizeof t_mutexFailure / sizeof t_mutexFailure[0] - 1);
    why.copy(t_mutexFailure, n);
    t_mutexFailure[n] = L'\0';
}

bool IsOwnMachine(HMODULE module) {
    const auto *base = reinterpret_cast<const unsigned char *>(module);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE && nt->FileHeader.Machine == kOwnMachine;
}

} // namespace

uint32_t GetTickCount() {
    return ::GetTickCount();
}

void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

Handle CreateKernelMutex(const wchar_t *name) {
    const bool named = name != nullptr && *name != L'\0';
    HANDLE mutex = CreateMutexW(nullptr, FALSE, named ? name : nullptr);
    if (mutex == nullptr) {
        const DWORD error = GetLastError();
        OSTREL_TRACE(L"CreateMutexW failed, error " << error);
        if (named)
            NoteMutexFailure(std::wstring(L"the named mutex ") + name + L" cannot be had: CreateMutexW failed, error " +
                             std::to_wstring(error));
    }
    return mutex;
}

WaitResult WaitForMutex(Handle mutex, uint32_t timeoutMs) {
    const WaitResult result = WaitForObject(mutex, timeoutMs);
    if (result == WaitResult::Failed)
        NoteMutexFailure(L"a mutex wait failed, error " + std::to_wstring(GetLastError()));
    return result;
}

std::wstring LastMutexFailure() {
    return t_mutexFailure;
}

uint32_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool ReleaseMutex(Handle mutex) {
    return mutex != nullptr && ::ReleaseMutex(mutex) != FALSE;
}

Handle CreateKernelSemaphore(int32_t initialCount, int32_t maximumCount) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr);
    if (semaphore == nullptr)
        OSTREL_TRACE(L"CreateSemaphoreW failed, error " << GetLastError());
    return semaphore;
}

WaitResult WaitForSemaphore(Handle semaphore, uint32_t timeoutMs) {
    return WaitForObject(semaphore, timeoutMs);
}

bool ReleaseSemaphore(Handle semaphore, int32_t count) {
    return semaphore != nullptr && ::ReleaseSemaphore(semaphore, count, nullptr) != FALSE;
}

void CloseHandle(Handle object) {
    if (object != nullptr)
        ::CloseHandle(object);
}

int GetCurrentThreadPriority() {
    return GetThreadPriority(GetCurrentThread());
}

bool SetCurrentThreadPriority(int priority) {
    return SetThreadPriority(GetCurrentThread(), priority) != FALSE;
}

bool StartThread(ThreadProc proc, void *argument, int priority, uint32_t stackSize) {
    if (proc == nullptr)
        return false;
    auto *start = new (std::nothrow) ThreadStart{proc, argument};
    if (start == nullptr)
        return false;
    // Suspended until its priority is set, so that it runs at that priority
    // from its first instruction.
    HANDLE thread = CreateThread(nullptr, stackSize, ThreadEntry, start, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) {
        OSTREL_TRACE(L"CreateThread failed, error " << GetLastError());
        delete start;
        return false;
    }
    if (!SetThreadPriority(thread, priority))
        OSTREL_TRACE(L"SetThreadPriority failed, error " << GetLastError());
    bool running = ResumeThread(thread) != static_cast<DWORD>(-1);
    if (!running) {
        // It never ran, so it never reached `start`.
        OSTREL_TRACE(L"ResumeThread failed, error " << GetLastError());
        TerminateThread(thread, 0);
        delete start;
    }
    ::CloseHandle(thread); // the thread runs on; nobody waits for it by handle
    return running;
}

void OutputDebugText(const wchar_t *text) {
    if (text != nullptr)
        OutputDebugStringW(text);
}

bool GetOsVersion(OsVersion &out) {
    OSVERSIONINFOEXW info{};
    static_assert(sizeof(info) == 284, "the size the system expects");
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&info))) {
        out = OsVersion{};
        return false;
    }
    out.platformId = info.dwPlatformId;
    out.major = info.dwMajorVersion;
    out.minor = info.dwMinorVersion;
    out.servicePackMajor = info.wServicePackMajor;
    return true;
}

void *LoadSharedLibrary(const char *baseName, int /*abiVersion*/) {
    if (baseName == nullptr)
        return nullptr;
    const std::wstring file = WidenText(std::string(baseName) + ".dll");
    // A file that is no loadable image here (another bitness, damaged) is
    // just no library: no error box for the host's user.
    DWORD previousMode = 0;
    const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode) != FALSE;
    HMODULE library = LoadLibraryW(file.c_str());
    const DWORD error = GetLastError();
    if (quiet)
        SetThreadErrorMode(previousMode, nullptr);
    if (library == nullptr) {
        if (error != ERROR_MOD_NOT_FOUND)
            OSTREL_TRACE(L"LoadLibraryW(" << file << L") failed, error " << error);
        return nullptr;
    }
    // The loader refuses code of another machine; should it map such an
    // image all the same, none of it is called.
    if (!IsOwnMachine(library)) {
        OSTREL_TRACE(file << L" is not built for this process's machine");
        FreeLibrary(library);
        return nullptr;
    }
    return reinterpret_cast<void *>(library);
}

void *FindLibraryFunction(void *library, int ordinal, const char * /*name*/) {
    if (library == nullptr || ordinal <= 0 || ordinal > 0xFFFF)
        return nullptr;
    const FARPROC function = GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(ordinal));
    return reinterpret_cast<void *>(function);
}

} // namespace Platform
