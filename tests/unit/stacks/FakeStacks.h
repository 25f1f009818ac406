// Fake Bluetooth APIs for the stack tests: a Microsoft Bluetooth API and a
// Widcomm shim whose devices and answers a test sets, and which record what
// the library asked of them. Installed for the lifetime of the object.
#pragma once

#include "MicrosoftBluetoothApi.h"
#include "WidIShim.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace stacks_test {

// A device as a search reports it.
struct FakeDevice {
    std::wstring name;
    std::array<uint8_t, 6> address; // most significant byte first
};

class FakeMicrosoftBluetooth {
  public:
    FakeMicrosoftBluetooth();
    ~FakeMicrosoftBluetooth();

    bool radioPresent = true;
    bool searchRuns = true; // false: BluetoothFindFirstDevice fails
    std::vector<FakeDevice> devices;

    // What the library did.
    int radioFindsOpen = 0; // radio searches not closed again
    int radiosOpen = 0;     // radio handles not closed again
    int deviceFindsOpen = 0;
    DeviceSearchParams lastParams{};
    std::vector<uint32_t> sizeFieldsSeen; // the record's size field at each call

    static FakeMicrosoftBluetooth *current;

  private:
    void Fill(size_t index, uint8_t *record) const;
    static void *FindFirstRadio(void **radio);
    static void FindRadioClose(void *find);
    static void CloseRadio(void *radio);
    static void *FindFirstDevice(const DeviceSearchParams &params, uint8_t *record);
    static bool FindNextDevice(void *find, uint8_t *record);
    static void FindDeviceClose(void *find);

    MicrosoftBluetoothApi m_table;
    const MicrosoftBluetoothApi *m_saved = nullptr;
    size_t m_next = 0;
};

class FakeWidcommShim {
  public:
    FakeWidcommShim();
    ~FakeWidcommShim();

    bool stackAnswers = true;
    bool serviceFound = true;
    unsigned char channel = 7;
    int connectResult = 0;
    int writeResult = 0;
    std::vector<FakeDevice> devices;
    std::vector<size_t> nullRecords; // indexes answered with a null record

    // What the library did: every call by name, in order.
    std::vector<std::string> calls;
    int stacksOpen = 0;
    std::array<unsigned char, 6> targetAddress{};
    unsigned char targetChannel = 0;
    std::vector<std::array<unsigned char, WidI::kRecordSize>> records;

    static FakeWidcommShim *current;
    const WidI::Api &Table() const { return m_table; }
    size_t Count(const std::string &call) const;

  private:
    WidI::Api m_table;
    const WidI::Api *m_saved = nullptr;
};

// A shim with a missing function: the library must treat it as no shim.
const WidI::Api &IncompleteShim();

} // namespace stacks_test
