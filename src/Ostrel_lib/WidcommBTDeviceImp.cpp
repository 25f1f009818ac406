#include "WidcommBTDeviceImp.h"

#include "GBluetoothDevice.h"
#include "GUtils.h"
#include "Platform.h"

#include <new>
#include <vector>

static const wchar_t kTraceModule[] = L"WidcommBTDeviceImp.cpp";

namespace {

constexpr int32_t kFailed = -1;

// The library has no use for the shim's link events.
int IgnoreEvent(void * /*context*/, int /*event*/) {
    return 0;
}

} // namespace

WidcommBTDeviceImp::WidcommBTDeviceImp(GBluetoothDevice *owner) : m_owner(owner) {}

WidcommBTDeviceImp::~WidcommBTDeviceImp() {
    if (m_owner != nullptr && m_owner->m_isOpen)
        m_owner->Close();
    DestroyConnection();
}

bool WidcommBTDeviceImp::OSInitialize() {
    if (m_connection != nullptr)
        return true;
    m_shim = WidIShim();
    if (m_shim != nullptr)
        m_connection = m_shim->CreateConnection();
    return true;
}

void WidcommBTDeviceImp::OSUninitialize() {
    DestroyConnection();
}

void WidcommBTDeviceImp::DestroyConnection() {
    if (m_connection != nullptr)
        m_shim->DestroyConnection(m_connection);
    m_connection = nullptr;
}

int32_t WidcommBTDeviceImp::Open(void * /*argument*/) {
    if (m_connection == nullptr || m_owner == nullptr)
        return kFailed;
    // The record the search found; one from another stack (or none) cannot
    // name a Widcomm device, and reading its bytes 4..10 would run past it.
    const GPortRef &port = m_owner->m_portRef;
    if (port.GetPortDataLength() < WidI::kRecordSize)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    m_shim->SetReceiveCallback(m_connection, m_owner->m_receiveCallback, m_owner->m_receiveContext);
    m_shim->SetEventCallback(m_connection, &IgnoreEvent, m_owner);
    std::vector<uint8_t> record(port.GetPortData(), port.GetPortData() + port.GetPortDataLength());
    const unsigned char *address = record.data() + WidI::kRecordAddressOffset;

    WidI::Stack stack = m_shim->OpenStack();
    if (stack == nullptr) {
        m_owner->ReleasePortLock();
        return kFailed;
    }
    m_shim->StartServiceDiscovery(stack, address);
    m_shim->ContinueDiscovery(stack);
    Platform::Sleep(WidcommServiceSearchMs());
    if (!m_shim->IsServiceFound(stack)) {
        m_owner->ReleasePortLock();
        m_shim->CloseStack(stack);
        return kFailed;
    }
    const unsigned char channel = m_shim->GetDiscoveredChannel(stack);
    // The device's own port reference keeps the channel; the device list's
    // copy is not touched.
    record[WidI::kRecordChannelOffset] = channel;
    m_owner->m_portRef = GPortRef(port.GetLocation(), port.GetDeviceName(), port.GetAltName(), record.data(),
                                  static_cast<int32_t>(record.size()));
    m_shim->SetConnectionTarget(m_connection, address, channel);
    const int32_t result = m_shim->Connect(m_connection);
    m_owner->ReleasePortLock();
    if (result == kFailed)
        OSTREL_TRACE(L"Error opening Bluetooth device with id " << m_owner->m_portRef.GetDeviceName());
    m_shim->CloseStack(stack);
    return result;
}

int32_t WidcommBTDeviceImp::Close() {
    if (m_connection == nullptr)
        return kFailed;
    if (m_owner == nullptr || !m_owner->TakePortLock())
        return kFailed;
    m_shim->Disconnect(m_connection);
    m_owner->ReleasePortLock();
    return 0;
}

int32_t WidcommBTDeviceImp::ClearIO() {
    return 0;
}

int32_t WidcommBTDeviceImp::GetStatus() {
    return 0;
}

int32_t WidcommBTDeviceImp::Read(uint8_t * /*buffer*/, int32_t * /*count*/, int32_t /*flags*/) {
    return kFailed;
}

int32_t WidcommBTDeviceImp::Write(const uint8_t *bytes, int32_t *count) {
    if (count == nullptr)
        return kFailed;
    if (m_connection == nullptr) {
        *count = 0;
        return kFailed;
    }
    const int result = m_shim->Write(m_connection, bytes, count);
    if (result != 0)
        *count = 0;
    return result;
}

IBTDevice *CreateWidcommDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) WidcommBTDeviceImp(owner);
}
