// What the BlueZ stack reads of the objects BlueZ manages
// (ObjectManager.GetManagedObjects): the adapters with their address and
// power, the devices with their name, address, pairing and adapter; and the
// choice of the adapter through which to reach a unit.
#pragma once

#include "BluetoothSocket.h"

#include <string>
#include <vector>

struct BlueZObject {
    std::string path;
    bool adapter = false;
    bool device = false;
    bool powered = false; // adapters
    bool paired = false;  // devices
    bool named = false;   // devices: BlueZ knows a name
    std::string name;
    std::string address;     // "00:07:80:AB:CD:EF"
    std::string adapterPath; // devices: the adapter they belong to
};

// Between BlueZBus::Acquire and Release. False (and traced) when BlueZ does
// not answer.
bool ReadBlueZObjects(std::vector<BlueZObject> &objects);

// Of the entries BlueZ has for the device at `address` (one per adapter that
// knows it), the one to use: on a powered adapter before one that is off,
// then paired before unpaired, then the first. Null when BlueZ knows none.
const BlueZObject *BestDeviceEntry(const std::vector<BlueZObject> &objects, const BluetoothSocket::Address &address);

// The adapter object of a device entry; null when it is missing or has no
// valid address.
const BlueZObject *AdapterOf(const std::vector<BlueZObject> &objects, const BlueZObject &device,
                             BluetoothSocket::Address &adapterAddress);

// The adapter through which to reach the unit at `unit`: the adapter of its
// best entry if that one is powered; else `remembered` (where a search last
// found the unit) if it is there and powered; else the first powered
// adapter. False when no adapter is powered.
bool AdapterFor(const std::vector<BlueZObject> &objects, const BluetoothSocket::Address &unit,
                const BluetoothSocket::Address &remembered, BluetoothSocket::Address &adapter);
