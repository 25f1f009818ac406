#include "GBluetoothDevice.h"

#include "BluetoothStacks.h"
#include "StackBackend.h"

namespace {
constexpr int32_t kNoStack = -1;
}

GBluetoothDevice::GBluetoothDevice(const GPortRef &port) : GDeviceIO(port) {
    const StackBackend *backend = FindStackBackend(BluetoothStackType.load());
    if (backend != nullptr && backend->createDevice != nullptr)
        m_impl = backend->createDevice(this);
}

GBluetoothDevice::~GBluetoothDevice() {
    if (m_isOpen)
        Close();
    // Still reachable while it is deleted: its destructor closes this device
    // again through m_impl if the Close above failed.
    delete m_impl;
    m_impl = nullptr;
}

bool GBluetoothDevice::OSInitialize() {
    return m_impl != nullptr && m_impl->OSInitialize();
}

void GBluetoothDevice::OSUninitialize() {
    if (m_impl != nullptr)
        m_impl->OSUninitialize();
}

// Without a stack there is no link: opening fails (-1) instead of reporting
// an open device that cannot carry a byte.
int32_t GBluetoothDevice::OSOpen(void *argument) {
    return m_impl != nullptr ? m_impl->Open(argument) : kNoStack;
}

int32_t GBluetoothDevice::OSClose() {
    return m_impl != nullptr ? m_impl->Close() : kNoStack;
}

int32_t GBluetoothDevice::OSGetStatus() {
    return m_impl != nullptr ? m_impl->GetStatus() : 0;
}

int32_t GBluetoothDevice::OSRead(uint8_t *buffer, int32_t *count, int32_t flags) {
    if (m_impl == nullptr)
        return 0;
    if (count == nullptr)
        return kNoStack;
    int32_t local = *count;
    const int32_t result = m_impl->Read(buffer, &local, flags);
    *count = local;
    return result;
}

int32_t GBluetoothDevice::OSWrite(const uint8_t *bytes, int32_t *count) {
    if (m_impl == nullptr || count == nullptr)
        return kNoStack;
    int32_t local = *count;
    const int32_t result = m_impl->Write(bytes, &local);
    *count = local;
    return result;
}

int32_t GBluetoothDevice::OSClearIO() {
    return m_impl != nullptr ? m_impl->ClearIO() : kNoStack;
}
