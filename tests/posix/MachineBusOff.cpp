// The test program never reaches the machine's own system bus: a BlueZ there
// (with a powered adapter) would change which stack the tests see. The
// BlueZ tests point DBUS_SYSTEM_BUS_ADDRESS at a bus of their own.
#include <cstdlib>

namespace {
const bool g_machineBusOff = [] {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/ostrel-tests/system_bus_socket", 1);
    return true;
}();
} // namespace
