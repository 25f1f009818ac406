// A second host process for the BlueZ tests, on the test's simulated world
// (its environment names the bus and the units). Usage:
//   ostrel_bluez_host SERIAL
// Starts the library as any host does, searches, opens the unit, starts
// measurements and prints "holding SERIAL". On the line "close" it checks
// that measurements arrived, stops them, closes the unit, calls
// Ostrel_Uninit and prints "closed SERIAL", then lives on until its standard
// input ends: a process that is done with the library but not gone.
// Exit codes: 0 done, 2 bad usage, 3 no stack, 4 the unit did not open,
// 5 nothing was measured.
#include "BlueZStack.h"
#include "Ostrel_lib.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

constexpr unsigned kSearchMs = 500;
constexpr int kCmdStartMeasurements = 0x18;
constexpr int kCmdStopMeasurements = 0x19;

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ostrel_bluez_host SERIAL\n");
        return 2;
    }
    const std::string serial = argv[1];
    SetBlueZDiscoveryMsForTesting(kSearchMs);
    OstrelLibrary lib = Ostrel_Init();
    if (lib == nullptr)
        return 3;
    int stamp = 0;
    Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);
    OstrelDevice device = Ostrel_Device_Open(lib, serial.c_str());
    if (device == nullptr || Ostrel_Device_SetMeasurementPeriod(device, 0.005, 2000) != 0 ||
        Ostrel_Device_SendCmdAndGetResponse(device, kCmdStartMeasurements, nullptr, 0, nullptr, nullptr, 2000) != 0) {
        Ostrel_Uninit(lib);
        return 4;
    }
    std::printf("holding %s\n", serial.c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "close") {
    }
    const int measured = Ostrel_Device_GetNumMeasurementsAvailable(device, 3);
    Ostrel_Device_SendCmdAndGetResponse(device, kCmdStopMeasurements, nullptr, 0, nullptr, nullptr, 2000);
    Ostrel_Device_Close(device);
    Ostrel_Uninit(lib);
    std::printf("closed %s\n", serial.c_str());
    std::fflush(stdout);
    while (std::getline(std::cin, line)) {
    }
    return measured > 0 ? 0 : 5;
}
