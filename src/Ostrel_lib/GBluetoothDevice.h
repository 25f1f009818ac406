// The Bluetooth byte-stream device: every stack-level operation goes to the
// IBTDevice of the stack that BluetoothStackType names.
#pragma once

#include "GDeviceIO.h"
#include "IBTDevice.h"

class GBluetoothDevice : public GDeviceIO {
  public:
    // Picks the stack implementation; m_impl stays null when no stack backend
    // serves BluetoothStackType, and such a device fails to open (-1).
    // OSInitialize is not called here.
    explicit GBluetoothDevice(const GPortRef &port);
    ~GBluetoothDevice() override;

    bool OSInitialize() override;
    void OSUninitialize() override;
    int32_t OSOpen(void *argument) override;
    int32_t OSClose() override;
    int32_t OSGetStatus() override;
    int32_t OSRead(uint8_t *buffer, int32_t *count, int32_t flags) override;
    int32_t OSWrite(const uint8_t *bytes, int32_t *count) override;
    int32_t OSClearIO() override;

    IBTDevice *m_impl = nullptr; // owned
};
