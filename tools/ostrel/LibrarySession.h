// The library as one command uses it: Ostrel_Init, a search, at most one
// open unit, and on the way out the unit closed and Ostrel_Uninit, on the
// thread that opened it (the main thread), whatever went wrong before.
#pragma once

#include "Failure.h"

#include "Ostrel_lib.h"

#include <optional>
#include <string>
#include <vector>

namespace ostrel_tool {

struct GlobalOptions {
    std::optional<int> traceLevel; // --trace LEVEL
    bool ioTrace = false;          // --io-trace
};

struct UnitEntry {
    std::string name;
    int status = OSTREL_STATUS_NOT_OPEN;
};

// "available", "open", or "status N".
std::string StatusText(int status);

class LibrarySession {
  public:
    explicit LibrarySession(const GlobalOptions &options);
    ~LibrarySession(); // closes the unit (with its I/O trace when asked) and uninitialises
    LibrarySession(const LibrarySession &) = delete;
    LibrarySession &operator=(const LibrarySession &) = delete;

    // Applies --trace and runs Ostrel_Init.
    Outcome Start();
    // Runs a search (with its progress line) and reads the list it made.
    Outcome Search(std::vector<UnitEntry> &units);
    // Searches, then opens the unit of that name on this thread. The failure
    // tells a name the search did not find (UnitNotFound) from a unit that
    // did not open (DeviceIO).
    Outcome OpenUnit(const std::string &name);
    // Prints the I/O trace when asked, then closes the unit. Without a unit: nothing.
    Outcome CloseUnit();
    // Closes the unit and opens it again by the same name, without a search
    // (the library keeps the list of the last one): a unit whose link was
    // lost. False when it did not open; try again later.
    bool ReopenUnit();

    OstrelLibrary Library() const { return m_library; }
    OstrelDevice Device() const { return m_device; }
    const std::string &UnitName() const { return m_unitName; }
    const std::vector<UnitEntry> &LastSearch() const { return m_lastSearch; }

  private:
    void PrintIoTrace();
    int CloseDevice();

    GlobalOptions m_options;
    OstrelLibrary m_library = nullptr;
    OstrelDevice m_device = nullptr;
    std::string m_unitName;
    std::vector<UnitEntry> m_lastSearch;
    bool m_ioTraceShown = false;
};

} // namespace ostrel_tool
