// The library's lifecycle exports: the single instance and the version.
#include "Ostrel_lib.h"

#include "BluetoothStacks.h"
#include "COstrelLibrary.h"
#include "Ostrel_lib_interface.h"

COstrelLibrary *g_currentLibrary = nullptr;

namespace {
constexpr short kVersionMajor = 0;
constexpr short kVersionMinor = 73;

std::wstring &DeviceListMutexNameStorage() {
    static std::wstring name = L"Ostrel_lib_DeviceListMutex";
    return name;
}
} // namespace

const wchar_t *DeviceListMutexName() {
    return DeviceListMutexNameStorage().c_str();
}

void SetDeviceListMutexName(const wchar_t *name) {
    DeviceListMutexNameStorage() = name;
}

COstrelLibrary::~COstrelLibrary() {
    Platform::CloseHandle(m_deviceListMutex);
}

extern "C" {

OstrelLibrary OSTREL_CALL Ostrel_Init(void) {
    return CallSafely<OstrelLibrary>(nullptr, []() -> OstrelLibrary {
        if (g_currentLibrary != nullptr)
            return reinterpret_cast<OstrelLibrary>(g_currentLibrary);
        const int32_t stack = ChooseBluetoothStack();
        if (stack == kStackNone)
            return nullptr;
        BluetoothStackType = stack;
        g_currentLibrary = new COstrelLibrary();
        g_currentLibrary->m_deviceListMutex = Platform::CreateKernelMutex(DeviceListMutexName());
        if (g_currentLibrary->m_deviceListMutex == nullptr) {
            Ostrel_Uninit(reinterpret_cast<OstrelLibrary>(g_currentLibrary));
            return nullptr;
        }
        return reinterpret_cast<OstrelLibrary>(g_currentLibrary);
    });
}

int OSTREL_CALL Ostrel_Uninit(OstrelLibrary lib) {
    return CallSafely(-1, [lib] {
        if (!IsCurrentLibrary(lib))
            return -1;
        COstrelLibrary *library = g_currentLibrary;
        CloseAllOpenDevices(*library);
        Platform::CloseHandle(library->m_deviceListMutex);
        library->m_deviceListMutex = nullptr;
        FreeDiscoveryState(*library);
        delete library;
        g_currentLibrary = nullptr;
        return 0;
    });
}

int OSTREL_CALL Ostrel_GetDLLVersion(OstrelLibrary, short *major, short *minor) {
    if (major == nullptr || minor == nullptr)
        return -1;
    *major = kVersionMajor;
    *minor = kVersionMinor;
    return 0;
}

} // extern "C"

DeviceListLock::DeviceListLock(const COstrelLibrary *library, uint32_t timeoutMs) {
    if (library == nullptr || library->m_deviceListMutex == nullptr)
        return;
    m_mutex = library->m_deviceListMutex;
    m_locked = Platform::IsAcquired(Platform::WaitForMutex(m_mutex, timeoutMs));
}

DeviceListLock::~DeviceListLock() {
    if (m_locked)
        Platform::ReleaseMutex(m_mutex);
}
