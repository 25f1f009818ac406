// The simulated Bluetooth stack: the stack backend of kStackSimulated, which
// finds and connects to simulated units (sim::SimUnit) living in this process,
// as the real stacks find and connect to units in radio range.
//
// Searching (EnumeratePorts with BluetoothStackType = kStackSimulated) lists
// every unit of the process-wide unit set that is in reach and whose name
// passes the unit-name test, with the port reference a real search makes: PortType 2, Location the
// 12-digit lowercase hex address, DeviceName the name without its first 12
// characters, PortData a copy of a SimPortRecord.
//
// A GBluetoothDevice built while kStackSimulated is the stack type gets a
// SimBTDeviceImp, which behaves like the real stack implementations:
// OSInitialize creates the connection object; Open (under the owner's port
// lock, refused without the claim) finds the unit by the port's Location and
// connects, handing every chunk the unit sends to the owner's receive callback
// on the unit's delivery thread; Close disconnects and returns once no
// callback can run any more; Write hands the bytes to the unit; Read is not
// offered (-1). After the unit closes the link itself (also when it drops it,
// SimUnit::DropLinkAfter), writes fail (-1); a unit out of reach cannot be
// connected.
//
// A unit takes one link at a time: a second device opening it while it is
// connected fails, as a second RFCOMM connect to a serial port would.
//
// Close waits for a callback in progress: do not call it while holding a
// lock that the receive callback takes.
//
// Typical test:
//     sim::SimStackScope scope;                 // register, select the stack
//     auto unit = scope.AddUnit("12345");        // a unit with a fresh address
//     GBluetoothDevice device(scope.PortOf(*unit));
//     device.OSInitialize();
//     device.SetReceiveCallback(OnBytes, &context);
//     device.Open(nullptr);                      // 0: connected
//     device.Write(bytes, &count);               // to the unit
//     device.Close();                            // no callback after this
#pragma once

#include "SimUnit.h"

#include "GPortRef.h"
#include "IBTDevice.h"
#include "StackBackend.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class GBluetoothDevice;

namespace sim {

// The stack's own record of a unit, carried as a port's PortData.
struct SimPortRecord {
    char tag[4];        // "SIMU"
    uint8_t address[6]; // most significant byte first, as in the Location
    uint8_t reserved[2];
};
static_assert(sizeof(SimPortRecord) == 12, "PortData layout");

// The process-wide set of reachable units and the backend that serves them.
namespace SimStack {

// The backend of kStackSimulated (a static object: it outlives every device).
const StackBackend &Backend();

// Makes a unit reachable (again). The stack keeps it alive while it is listed
// and while a device is connected to it.
void AddUnit(std::shared_ptr<SimUnit> unit);
// Makes a unit unreachable; a device connected to it keeps its link.
void RemoveUnit(const SimUnit *unit);
std::vector<std::shared_ptr<SimUnit>> Units();
// The listed unit whose address text is location, or null.
std::shared_ptr<SimUnit> FindUnit(const std::wstring &location);

// "0016a4012345": the address as Location text.
std::wstring AddressText(const SimUnit::Address &address);
// The port reference a search of this stack makes for the unit.
GPortRef PortOf(const SimUnit &unit);

} // namespace SimStack

// The IBTDevice of the simulated stack.
class SimBTDeviceImp : public IBTDevice {
  public:
    explicit SimBTDeviceImp(GBluetoothDevice *owner);
    // Closes the owner if it is still open, then disconnects and frees the
    // connection object (also when that Close was refused).
    ~SimBTDeviceImp() override;
    SimBTDeviceImp(const SimBTDeviceImp &) = delete;
    SimBTDeviceImp &operator=(const SimBTDeviceImp &) = delete;

    bool OSInitialize() override;
    void OSUninitialize() override;
    int32_t Open(void *argument) override;
    int32_t Close() override;
    int32_t ClearIO() override;
    int32_t GetStatus() override;
    int32_t Read(uint8_t *buffer, int32_t *count, int32_t flags) override;
    int32_t Write(const uint8_t *bytes, int32_t *count) override;

    struct Connection;

  private:
    void Disconnect();

    Connection *m_connection = nullptr; // owned; null until OSInitialize
    GBluetoothDevice *m_owner;          // not owned
};

// For tests and the demo: registers the simulated backend and makes it the
// stack type for its lifetime; units added through it leave the unit set when
// it ends. Everything it changed is put back on destruction, so scopes nest.
class SimStackScope {
  public:
    SimStackScope();
    ~SimStackScope();
    SimStackScope(const SimStackScope &) = delete;
    SimStackScope &operator=(const SimStackScope &) = delete;

    // A unit with this serial and an address unique to this process and call,
    // so that test processes running side by side never claim the same port.
    std::shared_ptr<SimUnit> AddUnit(const std::string &serial = "12345");
    // A unit made by the caller (its own address).
    std::shared_ptr<SimUnit> AddUnit(std::shared_ptr<SimUnit> unit);

    GPortRef PortOf(const SimUnit &unit) const { return SimStack::PortOf(unit); }

  private:
    const StackBackend *m_savedBackend;
    int32_t m_savedStackType;
    std::vector<std::shared_ptr<SimUnit>> m_units;
};

} // namespace sim
