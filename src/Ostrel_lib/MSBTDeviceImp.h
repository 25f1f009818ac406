// The Microsoft-stack half of a Bluetooth device: an RFCOMM stream socket to
// the unit's serial-port service, one reader thread per link that hands every
// received chunk to the owner's receive callback, and plain socket sends.
#pragma once

#include "GDeviceIO.h"
#include "GPortRef.h"
#include "IBTDevice.h"
#include "RfcommSocket.h"

#include <atomic>
#include <cstdint>

class GBluetoothDevice;

// One link's state. Allocated (no socket) -> connected (socket valid, reader
// running) -> disconnected (socket invalid, no reader); a disconnected record
// can connect again.
struct MSBTConnection {
    // Set by connect before the reader starts, invalidated by disconnect after
    // the reader has ended; atomic for readers of the record on other threads.
    std::atomic<RfcommSocketHandle> socket{kInvalidSocket};
    // A reader was started for this link. The platform keeps the thread's
    // own handle and closes it when the thread ends.
    bool readerThread = false;
    ReceiveCallback receiveCallback = nullptr;
    void *receiveContext = nullptr;
    GPortRef portRef;
    // Set before the reader starts and cleared by it as its last touch of the
    // record, so disconnect can wait even for a reader that has not run yet.
    std::atomic<bool> readerRunning{false};
    // Set by disconnect: the reader receives no more once it is set.
    std::atomic<bool> stopping{false};
    // Set by the reader when the link ended under it (the unit closed it or
    // it failed): sends are refused from then on, as no answer can come.
    std::atomic<bool> ended{false};
    // The socket functions this record uses, fixed when it is made so that a
    // socket is always closed by the table that opened it.
    const RfcommSocketApi *sockets = nullptr;
};

class MSBTDeviceImp : public IBTDevice {
  public:
    explicit MSBTDeviceImp(GBluetoothDevice *owner);
    // Closes the owner if it is still open, then disconnects and frees the
    // record (also when that Close was refused).
    ~MSBTDeviceImp() override;
    MSBTDeviceImp(const MSBTDeviceImp &) = delete;
    MSBTDeviceImp &operator=(const MSBTDeviceImp &) = delete;

    // Makes the record; true even when it cannot be allocated (every later
    // operation then fails).
    bool OSInitialize() override;
    void OSUninitialize() override;
    // Connects to the address in the owner's PortData, on the thread that
    // holds the owner's port claim. 0 or -1.
    int32_t Open(void *argument) override;
    int32_t Close() override;
    int32_t ClearIO() override;
    int32_t GetStatus() override;
    // -1: data arrive only through the receive callback.
    int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) override;
    // 0 with the count unchanged, or -1 with the count set to 0 (also once
    // the link ended under the reader, whatever the socket would accept).
    int32_t Write(const uint8_t *bytes, int32_t *count) override;

    // Null until OSInitialize.
    const MSBTConnection *Connection() const { return m_connection; }

  private:
    int32_t Connect(ReceiveCallback callback, void *context, const GPortRef &port, const uint64_t *address);
    // Shuts the socket down, waits for the reader to end, then closes the
    // socket. Not from the reader.
    void Disconnect();
    // False when the reader still runs after timeoutMs (kInfinite: no limit).
    bool WaitForReader(uint32_t timeoutMs);
    static uint32_t ReaderThread(void *record);

    MSBTConnection *m_connection = nullptr; // owned
    GBluetoothDevice *m_owner;              // not owned
};

// The stack implementation for BluetoothStackType 1; null without memory.
IBTDevice *CreateMSBTDevice(GBluetoothDevice *owner);
