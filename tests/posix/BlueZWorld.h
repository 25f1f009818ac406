// A private system bus with a simulated BlueZ for one test: started by the
// constructor (tests/bluez/mock_bluez.py --serve), which also points
// DBUS_SYSTEM_BUS_ADDRESS at it; taken down by the destructor. The test talks
// to the simulated BlueZ through its org.bluez.Mock methods.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bluez_test {

// One device of the world (see tests/bluez/bluez_units.py).
struct WorldDevice {
    std::string address;        // "00:07:80:15:01:01"
    std::string name;           // empty: a device without a name
    bool paired = false;        // known to BlueZ without a discovery
    int foundAfterMs = -1;      // >= 0: appears that long after StartDiscovery
    std::string connect = "ok"; // ok | fail | drop:BYTES | nosocket
    std::string adapter = "hci0";
};

struct WorldAdapter {
    std::string name = "hci0";
    bool powered = true;
};

class BlueZWorld {
  public:
    BlueZWorld(const std::vector<WorldAdapter> &adapters, const std::vector<WorldDevice> &devices,
               bool withBlueZ = true);
    ~BlueZWorld();
    BlueZWorld(const BlueZWorld &) = delete;
    BlueZWorld &operator=(const BlueZWorld &) = delete;

    bool Up() const { return !m_address.empty(); }
    const std::string &Address() const { return m_address; }

    // BlueZ's object path of a device.
    static std::string DevicePath(const WorldDevice &device);

    // What the library asked of BlueZ, in order ("ConnectProfile /org/...").
    std::vector<std::string> Events() const;
    size_t CountEvents(const std::string &prefix) const;
    // BlueZ asks the library's profile to let go of the device.
    bool RequestDisconnection(const WorldDevice &device) const;
    bool SetConnect(const WorldDevice &device, const std::string &behaviour) const;

  private:
    bool CallMock(const char *method, const std::vector<std::string> &objectPathThenStrings,
                  std::vector<std::string> *strings) const;

    int m_pid = -1;
    int m_stdin = -1;
    std::string m_address;
    std::string m_savedAddress;
    bool m_hadAddress = false;
};

} // namespace bluez_test
