// The BlueZ half of a Bluetooth device: an RFCOMM socket that BlueZ connects
// for the library's serial-port client profile (ConnectProfile, answered by
// NewConnection on the bus thread), one receive thread per link that hands
// every received block to the owner's receive callback, and sends that
// deliver every byte. Close shuts the socket down, waits for the receive
// thread, closes the socket and disconnects the profile; a device can open
// again afterwards.
#pragma once

#include "BlueZBus.h"
#include "GDeviceIO.h"
#include "IBTDevice.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class GBluetoothDevice;

// One link's state, shared with the bus thread through BlueZProfileClient.
class BlueZLink final : public BlueZProfileClient {
  public:
    bool OnNewConnection(int fd) override;
    void OnRequestDisconnection() override;

    std::mutex lock; // guards the descriptors against the bus thread
    std::condition_variable handed;
    bool awaiting = false; // a ConnectProfile of this link is under way
    int handedFd = -1;     // from NewConnection, not yet taken
    int fd = -1;           // the connected socket

    // The receive thread has ended (or none runs): writes fail.
    std::atomic<bool> dropped{true};
    std::thread receiver;
    ReceiveCallback receiveCallback = nullptr;
    void *receiveContext = nullptr;
    std::string devicePath; // set while the link holds the bus
    bool holdsBus = false;
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
    // Connects the unit whose object path the owner's PortData carries, on
    // the thread that holds the owner's port claim. 0 or -1.
    int32_t Open(void *argument) override;
    int32_t Close() override;
    int32_t ClearIO() override;
    int32_t GetStatus() override;
    // -1: data arrive only through the receive callback.
    int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) override;
    // Sends every byte: 0 with the count unchanged, or -1 with the count 0.
    int32_t Write(const uint8_t *bytes, int32_t *count) override;

    // Null until OSInitialize.
    const BlueZLink *Link() const { return m_link; }

  private:
    int32_t Connect();
    // Asks BlueZ for the link and waits for the socket it hands over.
    int TakeConnectedSocket();
    void Disconnect();
    void LeaveBus();
    static void Receive(BlueZLink *link);

    BlueZLink *m_link = nullptr; // owned
    GBluetoothDevice *m_owner;   // not owned
};

// The stack implementation for BluetoothStackType 3; null without memory.
IBTDevice *CreateBlueZDevice(GBluetoothDevice *owner);
