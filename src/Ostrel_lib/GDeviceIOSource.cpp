#include "GDeviceIOSource.h"

#include "GDeviceIO.h"
#include "GPortRef.h"

GDeviceIOSource::~GDeviceIOSource() {
    CloseDevice();
    ReleaseDevice();
}

int32_t GDeviceIOSource::AttachDevice(const GPortRef * /*port*/) {
    return 0;
}

int32_t GDeviceIOSource::CloseDevice() {
    if (m_device == nullptr || !m_device->m_isOpen)
        return 0;
    return m_device->Close();
}

void GDeviceIOSource::ReleaseDevice() {
    delete m_device;
    m_device = nullptr;
}

int32_t GDeviceIOSource::Open(const GPortRef *port) {
    int32_t attached = 0;
    if (m_device == nullptr)
        attached = AttachDevice(port);
    if (m_device == nullptr)
        return attached;
    // The device's Open takes an untyped argument; the stacks ignore it.
    return m_device->Open(const_cast<GPortRef *>(port));
}
