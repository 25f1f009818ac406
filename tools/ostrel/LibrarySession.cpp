#include "LibrarySession.h"

#include "HexCodec.h"
#include "ProgressLine.h"

#include <cstdio>
#include <vector>

namespace ostrel_tool {

namespace {

constexpr int kNameBufferSize = 256;
constexpr int kTraceRingBytes = 10001;

std::string Quoted(const std::string &text) {
    return "\"" + text + "\"";
}

std::string NoStackHint() {
#if defined(_WIN32)
    return "no usable Bluetooth stack: no Bluetooth radio was found, and ZEL_WidI.dll (the Widcomm stack's "
           "shim) is not beside the program";
#else
    return "no usable Bluetooth stack: BlueZ does not answer on the system bus or has no powered adapter "
           "(--trace 10 says which), and libZEL_WidI.so is not on LD_LIBRARY_PATH (for the simulated units: "
           "scripts/demo)";
#endif
}

std::string FoundText(const std::vector<UnitEntry> &units) {
    if (units.empty())
        return "it found none";
    std::string text = "it found ";
    for (size_t i = 0; i < units.size(); ++i)
        text += (i > 0 ? ", " : "") + units[i].name;
    return text;
}

} // namespace

std::string StatusText(int status) {
    switch (status) {
    case OSTREL_STATUS_NOT_OPEN:
        return "available";
    case OSTREL_STATUS_OPEN:
        return "open";
    default:
        return "status " + std::to_string(status);
    }
}

LibrarySession::LibrarySession(const GlobalOptions &options) : m_options(options) {}

LibrarySession::~LibrarySession() {
    CloseUnit();
    if (m_options.ioTrace && !m_ioTraceShown)
        std::fprintf(stderr, "I/O trace: no unit was opened, so no bytes were captured\n");
    if (m_library != nullptr)
        Ostrel_Uninit(m_library);
}

Outcome LibrarySession::Start() {
    if (m_options.traceLevel)
        Ostrel_Diags_SetDebugTraceThreshold(nullptr, *m_options.traceLevel);
    m_library = Ostrel_Init();
    if (m_library != nullptr)
        return std::nullopt;
    char why[kNameBufferSize * 4] = {};
    if (Ostrel_GetInitFailure(why, sizeof why) == OSTREL_INIT_NAMED_OBJECTS)
        return CallFailed(ExitCode::Failure, "Ostrel_Init", "returned null", why);
    return CallFailed(ExitCode::NoStack, "Ostrel_Init", "returned null", NoStackHint());
}

Outcome LibrarySession::Search(std::vector<UnitEntry> &units) {
    int stamp = 0;
    int result;
    {
        ProgressLine progress("searching for units", "7.7-15 s");
        result = Ostrel_SearchForDevices(m_library, OSTREL_DEVICE_TYPE, 0, &stamp);
    }
    if (result != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_SearchForDevices", "returned " + std::to_string(result), "");

    int count = 0;
    OstrelSnapshot snapshot = Ostrel_OpenDeviceListSnapshot(m_library, OSTREL_DEVICE_TYPE, &count, &stamp);
    if (snapshot == nullptr)
        return CallFailed(ExitCode::Failure, "Ostrel_OpenDeviceListSnapshot", "returned null", "");
    std::vector<UnitEntry> found;
    for (int i = 0; i < count; ++i) {
        char name[kNameBufferSize] = {};
        int status = 0;
        const int entry =
            Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, static_cast<unsigned>(i), name, sizeof name, &status);
        if (entry != 0) {
            Ostrel_CloseDeviceListSnapshot(snapshot);
            return CallFailed(ExitCode::Failure, "Ostrel_DeviceListSnapshot_GetNthEntry(" + std::to_string(i) + ")",
                              "returned " + std::to_string(entry), "");
        }
        found.push_back(UnitEntry{name, status});
    }
    Ostrel_CloseDeviceListSnapshot(snapshot);
    m_lastSearch = found;
    units = found;
    return std::nullopt;
}

Outcome LibrarySession::OpenUnit(const std::string &name) {
    if (m_device != nullptr)
        return Failure{ExitCode::Failure, "unit " + m_unitName + " is already open"};
    std::vector<UnitEntry> units;
    if (Outcome failed = Search(units))
        return failed;

    {
        ProgressLine progress("opening " + name, "");
        m_device = Ostrel_Device_Open(m_library, name.c_str());
    }
    if (m_device != nullptr) {
        m_unitName = name;
        return std::nullopt;
    }

    const std::string call = "Ostrel_Device_Open(" + Quoted(name) + ")";
    bool listed = false;
    for (const UnitEntry &unit : units)
        listed = listed || unit.name == name;
    if (!listed)
        return CallFailed(ExitCode::UnitNotFound, call, "returned null",
                          "no unit of that name in the last search (" + FoundText(units) + ")");
    return CallFailed(ExitCode::DeviceIO, call, "returned null",
                      "the unit did not answer within 2000 ms or a data sheet failed its check; is it on, in reach "
                      "and not in use by another program? (--trace 10 tells which)");
}

void LibrarySession::PrintIoTrace() {
    std::vector<uint8_t> bytes(kTraceRingBytes);
    const struct {
        const char *what;
        int(OSTREL_CALL *count)(OstrelDevice);
        int(OSTREL_CALL *read)(OstrelDevice, unsigned char *, int);
    } rings[] = {
        {"sent", &Ostrel_Diags_GetNumOutputTraceBytesAvailable, &Ostrel_Diags_ReadOutputTraceBytes},
        {"received", &Ostrel_Diags_GetNumInputTraceBytesAvailable, &Ostrel_Diags_ReadInputTraceBytes},
    };
    for (const auto &ring : rings) {
        const int available = ring.count(m_device);
        if (available < 0) {
            std::fprintf(stderr, "I/O trace, bytes %s: not captured (the call returned %d)\n", ring.what, available);
            continue;
        }
        const int n = ring.read(m_device, bytes.data(), static_cast<int>(bytes.size()));
        if (n < 0) {
            std::fprintf(stderr, "I/O trace, bytes %s: reading failed (%d)\n", ring.what, n);
            continue;
        }
        std::fprintf(stderr, "I/O trace, bytes %s: %d (the newest 10000 at most)\n", ring.what, n);
        std::fputs(HexDump(bytes.data(), static_cast<size_t>(n)).c_str(), stderr);
    }
}

Outcome LibrarySession::CloseUnit() {
    if (m_device == nullptr)
        return std::nullopt;
    if (m_options.ioTrace) {
        PrintIoTrace();
        m_ioTraceShown = true;
    }
    const int result = CloseDevice();
    if (result != 0)
        return CallFailed(ExitCode::Failure, "Ostrel_Device_Close(" + Quoted(m_unitName) + ")",
                          "returned " + std::to_string(result), "the device list stayed busy");
    return std::nullopt;
}

int LibrarySession::CloseDevice() {
    if (m_device == nullptr)
        return 0;
    const int result = Ostrel_Device_Close(m_device);
    // Whatever the result, the handle is not used again: a failed close
    // leaves the unit to Ostrel_Uninit.
    m_device = nullptr;
    return result;
}

bool LibrarySession::ReopenUnit() {
    CloseDevice();
    m_device = Ostrel_Device_Open(m_library, m_unitName.c_str());
    return m_device != nullptr;
}

} // namespace ostrel_tool
