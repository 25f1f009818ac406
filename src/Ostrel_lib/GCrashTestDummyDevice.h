// The Bluetooth byte-stream device of a Pellucor unit: a GBluetoothDevice
// that creates its stack's connection object as soon as it is built.
#pragma once

#include "GBluetoothDevice.h"

class GCrashTestDummyDevice : public GBluetoothDevice {
  public:
    // Builds the GBluetoothDevice part (which picks m_impl by
    // BluetoothStackType), then runs OSInitialize of m_impl. A failure, or no
    // stack at all, writes an unconditional trace line; the object is usable
    // either way, except that without a stack it refuses to open (-1).
    explicit GCrashTestDummyDevice(const GPortRef &port);
    ~GCrashTestDummyDevice() override;
};
