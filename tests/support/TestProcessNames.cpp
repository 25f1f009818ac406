#include "TestProcessNames.h"

#include "COstrelLibrary.h"

#ifdef _WIN32
#include <process.h>
#define OSTREL_GETPID _getpid
#else
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
    return true;
}();
} // namespace
