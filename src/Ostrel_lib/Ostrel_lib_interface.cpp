// The library's lifecycle exports: the single instance and the version.
#include "Ostrel_lib.h"

#include "BluetoothStacks.h"
#include "COstrelLibrary.h"
#include "GUtils.h"
#include "Ostrel_lib_interface.h"

#include <cstring>

COstrelLibrary *g_currentLibrary = nullptr;

namespace {
const wchar_t *const kTraceModule = kInterfaceTraceModule;
constexpr short kVersionMajor = 0;
constexpr short kVersionMinor = 73;
// Ostrel_Init tries the device-list mutex this long: enough to tell a
// squatter from a holder that is only slow to listen.
constexpr uint32_t kListMutexCheckMs = 100;

// Why the last Ostrel_Init returned null.
struct InitFailure {
    int code = 0;
    std::wstring text;
};
InitFailure g_initFailure;

void NoteInitFailure(int code, const std::wstring &text) {
    g_initFailure = InitFailure{code, text};
    OSTREL_TRACE(L"Ostrel_Init failed: " << text);
}

// The mutex can be had, or is held by a process of this user; false when it
// cannot be had at all (another account squats on it).
bool IsUsableMutex(Platform::Handle mutex) {
    const Platform::WaitResult result = Platform::WaitForMutex(mutex, kListMutexCheckMs);
    if (Platform::IsAcquired(result))
        Platform::ReleaseMutex(mutex);
    return result != Platform::WaitResult::Failed;
}

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
        if (IsCurrentLibrary(g_currentLibrary))
            return reinterpret_cast<OstrelLibrary>(g_currentLibrary);
        // An instance inherited through fork is the parent's: its records
        // are left alone (their links and threads are not in this process).
        g_currentLibrary = nullptr;
        const int32_t stack = ChooseBluetoothStack();
        if (stack == kStackNone) {
            NoteInitFailure(OSTREL_INIT_NO_STACK, L"no usable Bluetooth stack");
            return nullptr;
        }
        BluetoothStackType = stack;
        g_currentLibrary = new COstrelLibrary();
        Platform::Handle mutex = Platform::CreateKernelMutex(DeviceListMutexName());
        g_currentLibrary->m_deviceListMutex = mutex;
        if (mutex == nullptr || !IsUsableMutex(mutex)) {
            NoteInitFailure(OSTREL_INIT_NAMED_OBJECTS, Platform::LastMutexFailure());
            // Nothing is open for Ostrel_Uninit to close under the mutex.
            Platform::CloseHandle(mutex);
            g_currentLibrary->m_deviceListMutex = nullptr;
            Ostrel_Uninit(reinterpret_cast<OstrelLibrary>(g_currentLibrary));
            return nullptr;
        }
        g_initFailure = InitFailure{};
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

int OSTREL_CALL Ostrel_GetInitFailure(char *text, int size) {
    if (text == nullptr || size < 1)
        return -1;
    return CallSafely(-1, [&] {
        const std::string narrow = NarrowText(g_initFailure.text);
        std::strncpy(text, narrow.c_str(), static_cast<size_t>(size));
        text[size - 1] = '\0';
        return g_initFailure.code;
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
