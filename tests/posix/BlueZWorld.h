// A private system bus with a simulated BlueZ and simulated units in reach,
// for one test: started by the constructor (tests/bluez/mock_bluez.py
// --serve), which also points DBUS_SYSTEM_BUS_ADDRESS at the bus and
// OSTREL_TEST_BLUETOOTH_SOCKETS at the units; taken down by the destructor.
// The test changes the world through the commands of mock_bluez.py and the
// org.bluez.Mock methods.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bluez_test {

// A program the test runs beside itself, with its standard input and output
// on pipes: it gets the test's environment (the world's bus and units).
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string> &arguments);
    // Closes its input and waits for it (killed after 30 s).
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool Started() const { return m_pid > 0; }
    // The next line it prints, without the line break; empty after timeoutMs
    // or at its end.
    std::string ReadLine(int timeoutMs = 60000);
    bool WriteLine(const std::string &line);
    // Closes its input and waits for its end: its exit status, or -1.
    int Finish();

  private:
    int m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
};

// One device of the world (see tests/bluez/bluez_units.py and
// units_on_air.py).
struct WorldDevice {
    std::string address;        // "00:07:80:15:01:01"
    std::string name;           // empty: a device without a name
    bool paired = false;        // known to BlueZ without a discovery
    int foundAfterMs = -1;      // >= 0: inquiry finds it that long after it starts
    std::string connect = "ok"; // ok | fail | drop:BYTES | absent
    std::string sdp = "ok";     // ok | long | none | error
    int channel = 1;            // of its serial port
    std::string adapter = "hci0";
};

struct WorldAdapter {
    std::string name = "hci0";
    bool powered = true;
    std::string address; // empty: 00:1A:7D:DA:71:<index>
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

    // What hosts asked of BlueZ, in order ("StartDiscovery /org/...").
    std::vector<std::string> Events() const;
    size_t CountEvents(const std::string &prefix) const;
    // BlueZ drops the device, as it drops an unpaired one not seen for a while.
    bool ForgetDevice(const WorldDevice &device) const;

    // BlueZ stops (releasing its profiles, or killed) and starts again.
    bool RestartBlueZ(bool release);
    // The unit behaves so from now on (key "connect" or "sdp").
    bool Set(const WorldDevice &device, const std::string &key, const std::string &value);
    // The unit drops every link at once.
    bool KillUnits(const WorldDevice &device);

  private:
    bool CallMock(const char *method, const std::vector<std::string> &objectPathThenStrings,
                  std::vector<std::string> *strings) const;
    bool Command(const std::string &line);

    std::unique_ptr<ChildProcess> m_mock;
    std::string m_address;
    struct SavedVariable {
        const char *name;
        std::string value;
        bool had;
    };
    std::vector<SavedVariable> m_saved;
};

} // namespace bluez_test
