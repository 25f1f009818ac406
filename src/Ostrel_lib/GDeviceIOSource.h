// The root of the measurement-source chain: owns the byte-stream device and
// knows how to attach, open, close and release it. The numbers in the comments
// are the positions of the virtual operations in the chain's interface.
#pragma once

#include <cstdint>

class GDeviceIO;
class GPortRef;

class GDeviceIOSource {
  public:
    GDeviceIOSource() = default;
    // Closes the device if it is open, then deletes it.
    virtual ~GDeviceIOSource(); // 0
    GDeviceIOSource(const GDeviceIOSource &) = delete;
    GDeviceIOSource &operator=(const GDeviceIOSource &) = delete;

    virtual bool Op01() { return true; } // 1
    // Creates the device and whatever the source needs around it; the root
    // creates nothing.
    virtual int32_t AttachDevice(const GPortRef *port); // 2
    // Closes the link if a device is attached and open; the device stays.
    // Returns the device's Close result, 0 when there was nothing to close.
    virtual int32_t CloseDevice(); // 3
    virtual void ReleaseDevice();  // 4
    // Attaches first when there is no device; then opens the device on the port.
    virtual int32_t Open(const GPortRef *port); // 5

    GDeviceIO *GetDevice() const { return m_device; }

  protected:
    GDeviceIO *m_device = nullptr; // owned; null when no device is attached
};
