#include "TestProcessNames.h"

#include "COstrelLibrary.h"

#ifdef _WIN32
#include <process.h>
#define OSTREL_GETPID _getpid
#else
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#define OSTREL_GETPID getpid
#endif

std::wstring TestDeviceListMutexName() {
    static const std::wstring name = L"Ostrel_lib_DeviceListMutex.test." + std::to_wstring(OSTREL_GETPID());
    return name;
}

namespace {
// Set before any test runs.
const bool g_nameSet = [] {
    SetDeviceListMutexName(TestDeviceListMutexName().c_str());
#ifndef _WIN32
    // POSIX keeps named mutexes in shared memory until unlinked; one per test
    // process would pile up.
    std::atexit([] {
        const std::wstring name = TestDeviceListMutexName();
        shm_unlink(("/Ostrel_lib." + std::string(name.begin(), name.end())).c_str());
    });
#endif
    return true;
}();
} // namespace
