// The BlueZ half of a Bluetooth device: a kernel RFCOMM socket of the
// library's own to the unit's serial port, whose channel a small SDP query
// of its own finds, from the adapter that knows the unit (BlueZ, over the
// system bus, says which). Nothing is registered with BlueZ, so any number
// of processes each hold their own units beside any other program that uses
// the serial-port profile.
//
// One receive thread per link waits for data (the socket is non-blocking)
// and hands every received block to the owner's receive callback; sends
// wait a little for room and deliver every byte. Close wakes the receive
// thread at once, joins it and closes the socket; a device can open again
// afterwards.
#pragma once

#include "GDeviceIO.h"
#include "IBTDevice.h"

#include <atomic>
#include <cstdint>
#include <thread>

class GBluetoothDevice;

// One link's state. The receive thread reads it; the owner's thread changes
// it only while no receive thread runs.
struct BlueZLink {
    int fd = -1;     // the connected RFCOMM socket
    int wakeFd = -1; // an event that ends the receive thread
    // The receive thread has ended (or none runs): writes fail.
    std::atomic<bool> dropped{true};
    std::thread receiver;
    ReceiveCallback receiveCallback = nullptr;
    void *receiveContext = nullptr;
};

class BlueZDeviceImp : public IBTDevice {
  public:
    explicit BlueZDeviceImp(GBluetoothDevice *owner);
    // Closes the owner if it is still open, then disconnects and frees the
    // link.
    ~BlueZDeviceImp() override;
    BlueZDeviceImp(const BlueZDeviceImp &) = delete;
    BlueZDeviceImp &operator=(const BlueZDeviceImp &) = delete;

    // Makes the link record; true even without memory (opening then fails).
    bool OSInitialize() override;
    void OSUninitialize() override;
    // Connects the unit whose addresses the owner's PortData carries, on the
    // thread that holds the owner's port claim. 0 or -1.
    int32_t Open(void *argument) override;
    int32_t Close() override;
    int32_t ClearIO() override;
    int32_t GetStatus() override;
    // -1: data arrive only through the receive callback.
    int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) override;
    // Sends every byte: 0 with the count unchanged, or -1 with the count 0.
    int32_t Write(const uint8_t *bytes, int32_t *count) override;

  private:
    int32_t Connect();
    void Disconnect();
    static void Receive(BlueZLink *link);

    BlueZLink *m_link = nullptr; // owned
    GBluetoothDevice *m_owner;   // not owned
};

// The stack implementation for BluetoothStackType 3; null without memory.
IBTDevice *CreateBlueZDevice(GBluetoothDevice *owner);
