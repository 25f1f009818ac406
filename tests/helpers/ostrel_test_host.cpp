// A second host process for the interface tests: it uses the library through
// its exports against simulated units of its own. Usage:
//   ostrel_test_host [--empty-shm] COMMAND ...
// --empty-shm (Linux, root): the process gets an empty /dev/shm of its own,
// as a cleaner that removed everything there would leave it.
// Commands:
//   ostrel_test_host open RESULTFILE ADDRESS [ADDRESS...]
//       sets up a unit at each ADDRESS (12 hex digits, an address another
//       process may have claimed), named "Contested", "Contested2", ... in
//       order, and "Control" at an address of its own, searches, opens the
//       contested units in order and then Control, closes what opened, and
//       writes one line per unit to RESULTFILE (and standard output):
//         <serial> opened|refused commands=<n> connected=<0|1>
//       with the commands the unit received and whether its link was up
//       right after the open.
//   ostrel_test_host uninit-slowly MARKERFILE LISTMUTEX CLOSE_MS
//       with LISTMUTEX as its device-list mutex, opens a unit of its own whose
//       link takes CLOSE_MS to close, creates MARKERFILE and runs
//       Ostrel_Uninit, which closes it.
// Exit codes: 0 done, 2 bad usage, 3 Ostrel_Init failed, 4 a unit was not
// listed by the search, 5 cannot write the result file or the marker, 6 the
// unit did not open, 7 cannot enter an empty /dev/shm.
#include "Ostrel_lib.h"

#include "COstrelLibrary.h"
#include "SimStack.h"

#ifndef _WIN32
#include "EmptySharedMemory.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

enum ExitCode { kDone = 0, kUsage = 2, kNoLibrary = 3, kNotListed = 4, kNoResult = 5, kNotOpened = 6, kNoShm = 7 };

bool ParseAddress(const char *text, sim::SimUnit::Address &address) {
    if (std::strlen(text) != 12)
        return false;
    for (size_t i = 0; i < address.size(); ++i) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char *end = nullptr;
        address[i] = static_cast<uint8_t>(std::strtoul(pair, &end, 16));
        if (end != pair + 2)
            return false;
    }
    return true;
}

bool IsListed(OstrelLibrary lib, const std::string &name) {
    int count = 0;
    int stamp = 0;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(lib, OSTREL_DEVICE_TYPE, &count, &stamp);
    bool found = false;
    for (int i = 0; i < count; ++i) {
        char entry[64] = {};
        int status = 0;
        if (Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, static_cast<unsigned>(i), entry, sizeof entry, &status) ==
                0 &&
            name == entry)
            found = true;
    }
    Ostrel_CloseDeviceListSnapshot(snapshot);
    return found;
}

// Opens the unit, notes what it saw, and returns the device (null: refused).
OstrelDevice OpenAndReport(OstrelLibrary lib, const sim::SimUnit &unit, std::string &report) {
    OstrelDevice device = Ostrel_Device_Open(lib, unit.Serial().c_str());
    report += unit.Serial() + (device != nullptr ? " opened" : " refused") +
              " commands=" + std::to_string(unit.TotalCommands()) + " connected=" + (unit.IsConnected() ? "1" : "0") +
              "\n";
    return device;
}

int Open(int argc, char **argv) {
    if (argc < 2)
        return kUsage;
    std::vector<sim::SimUnit::Address> addresses(static_cast<size_t>(argc - 1));
    for (size_t i = 0; i < addresses.size(); ++i)
        if (!ParseAddress(argv[i + 1], addresses[i]))
            return kUsage;
    // Init chooses a real stack; the simulated one is selected after it.
    OstrelLibrary lib = Ostrel_Init();
    if (lib == nullptr)
        return kNoLibrary;
    int result = kDone;
    std::string report;
    {
        sim::SimStackScope scope;
        std::vector<std::shared_ptr<sim::SimUnit>> units;
        for (size_t i = 0; i < addresses.size(); ++i) {
            const std::string name = i == 0 ? "Contested" : "Contested" + std::to_string(i + 1);
            units.push_back(scope.AddUnit(std::make_shared<sim::SimUnit>(name, addresses[i])));
        }
        units.push_back(scope.AddUnit("Control"));
        int stamp = 0;
        Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);
        bool listed = true;
        for (const auto &unit : units)
            listed = listed && IsListed(lib, unit->Serial());
        if (!listed) {
            result = kNotListed;
        } else {
            std::vector<OstrelDevice> devices;
            for (const auto &unit : units)
                devices.push_back(OpenAndReport(lib, *unit, report));
            for (OstrelDevice device : devices)
                if (device != nullptr)
                    Ostrel_Device_Close(device);
        }
        Ostrel_Uninit(lib);
    }
    std::fputs(report.c_str(), stdout);
    std::FILE *file = std::fopen(argv[0], "w");
    if (file == nullptr)
        return kNoResult;
    std::fputs(report.c_str(), file);
    if (std::fclose(file) != 0)
        return kNoResult;
    return result;
}

int UninitSlowly(int argc, char **argv) {
    if (argc != 3)
        return kUsage;
    SetDeviceListMutexName(std::wstring(argv[1], argv[1] + std::strlen(argv[1])).c_str());
    OstrelLibrary lib = Ostrel_Init();
    if (lib == nullptr)
        return kNoLibrary;
    sim::SimStackScope scope;
    const std::shared_ptr<sim::SimUnit> unit = scope.AddUnit("Slow");
    int stamp = 0;
    Ostrel_SearchForDevices(lib, OSTREL_DEVICE_TYPE, 0, &stamp);
    if (Ostrel_Device_Open(lib, unit->Serial().c_str()) == nullptr)
        return kNotOpened;
    unit->SetDisconnectDelay(static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)));
    std::FILE *marker = std::fopen(argv[0], "w");
    if (marker == nullptr || std::fclose(marker) != 0)
        return kNoResult;
    Ostrel_Uninit(lib);
    return unit->IsConnected() ? kNotOpened : kDone;
}

struct Command {
    const char *name;
    int (*run)(int argc, char **argv); // the arguments after the command
};

const Command kCommands[] = {
    {"open", Open},
    {"uninit-slowly", UninitSlowly},
};

} // namespace

int main(int argc, char **argv) {
#ifndef _WIN32
    if (argc >= 2 && std::strcmp(argv[1], "--empty-shm") == 0) {
        if (!EnterEmptySharedMemory())
            return kNoShm;
        --argc;
        ++argv;
    }
#endif
    if (argc < 2)
        return kUsage;
    for (const Command &command : kCommands)
        if (std::strcmp(argv[1], command.name) == 0)
            return command.run(argc - 2, argv + 2);
    std::fprintf(stderr, "ostrel_test_host: unknown command %s\n", argv[1]);
    return kUsage;
}
