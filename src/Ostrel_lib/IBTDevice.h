// The stack-level half of a Bluetooth device: one implementation per stack.
#pragma once

#include <cstdint>

class IBTDevice {
  public:
    // Closes the owner if it is still open and frees the stack's resources.
    virtual ~IBTDevice() = default;
    // Creates the stack's connection object.
    virtual bool OSInitialize() = 0;
    virtual void OSUninitialize() = 0;
    // Connects; 0 on success. The argument is not used by the stacks.
    virtual int32_t Open(void *argument) = 0;
    virtual int32_t Close() = 0;
    virtual int32_t ClearIO() = 0;
    virtual int32_t GetStatus() = 0;
    // Received data arrive through the owner's callback; reading is not offered.
    virtual int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) = 0;
    // Sends; 0 on success.
    virtual int32_t Write(const uint8_t *bytes, int32_t *count) = 0;
};
