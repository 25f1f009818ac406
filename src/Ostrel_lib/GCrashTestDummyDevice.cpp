#include "GCrashTestDummyDevice.h"

#include "GUtils.h"

namespace {
const wchar_t kInitializeFailed[] = L"Error - GCrashTestDummyDevice constructor, OSInitialize() returned false.";
}

GCrashTestDummyDevice::GCrashTestDummyDevice(const GPortRef &port) : GBluetoothDevice(port) {
    // No stack chosen: there is no connection object to create. The device
    // stays unusable, because GBluetoothDevice::OSOpen refuses to open
    // without m_impl, so the source's connect fails cleanly.
    if (m_impl == nullptr || !m_impl->OSInitialize())
        TraceText(kInitializeFailed, nullptr, -1);
}

GCrashTestDummyDevice::~GCrashTestDummyDevice() = default;
