// The IBTDevice of the Widcomm stack: every link operation goes through the
// shim library. Opening runs a service search on the unit (a fixed 4 s wait)
// to learn its channel, then connects; received bytes reach the owner's
// callback directly from the shim's own thread.
#pragma once

#include "IBTDevice.h"
#include "WidIShim.h"

class GBluetoothDevice;

class WidcommBTDeviceImp : public IBTDevice {
  public:
    explicit WidcommBTDeviceImp(GBluetoothDevice *owner);
    // Closes the owner if it is still open, then destroys the connection.
    ~WidcommBTDeviceImp() override;
    WidcommBTDeviceImp(const WidcommBTDeviceImp &) = delete;
    WidcommBTDeviceImp &operator=(const WidcommBTDeviceImp &) = delete;

    // Creates the shim's connection object; true even without one (the
    // device then fails to open).
    bool OSInitialize() override;
    void OSUninitialize() override;
    int32_t Open(void *argument) override;
    int32_t Close() override;
    int32_t ClearIO() override;
    int32_t GetStatus() override;
    int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) override;
    int32_t Write(const uint8_t *bytes, int32_t *count) override;

  private:
    void DestroyConnection();

    WidI::Connection m_connection = nullptr;
    GBluetoothDevice *m_owner; // not owned
    // The shim that made m_connection: it must also be the one to free it.
    const WidI::Api *m_shim = nullptr;
};

// The stack backend's factory: a new WidcommBTDeviceImp, or null.
IBTDevice *CreateWidcommDevice(GBluetoothDevice *owner);
