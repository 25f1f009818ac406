// libFuzzer target: the two stack searches over device records the input
// makes. The Microsoft API's search fills the library's 560-byte record with
// any bytes at all (its size field, a name without terminator); the Widcomm
// shim answers any device count, null records and 260-byte records whose name
// may run to the record's end. Each record lives in an allocation of exactly
// its size, so a read past it is a sanitizer report. Checked: exactly the
// records whose name starts with the unit prefix become ports, each with the
// record's address as its location, the name after the separator as its
// device name and the record's bytes as its data; the API always gets a
// record with its size field set, and the shim is asked only for the records
// it counted.
#include "FuzzSupport.h"

#include "BluetoothStacks.h"
#include "MicrosoftBluetoothApi.h"
#include "WidIShim.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

using namespace fuzz;

namespace {

constexpr size_t kPrefixLength = 11;

// The records the fake stacks hand out, for one run.
struct Records {
    std::vector<Bytes> microsoft;
    size_t next = 0;
    bool sizeFieldSet = true;
    std::vector<std::unique_ptr<uint8_t[]>> widcomm; // null: a null record
    int widcommCount = 0;
    bool askedOutside = false;
};
Records *g_records = nullptr;

void *const kFind = reinterpret_cast<void *>(0x51);

void CheckSizeField(const uint8_t *record) {
    g_records->sizeFieldSet = g_records->sizeFieldSet && GetLittleEndian32(record) == kDeviceInfoSize;
}
void *FindFirstRadio(void **radio) {
    *radio = kFind;
    return kFind;
}
void FindRadioClose(void *) {}
void CloseRadio(void *) {}
void *FindFirstDevice(const DeviceSearchParams &, uint8_t *record) {
    CheckSizeField(record);
    if (g_records->microsoft.empty())
        return nullptr;
    std::memcpy(record, g_records->microsoft[0].data(), kDeviceInfoSize);
    g_records->next = 1;
    return kFind;
}
bool FindNextDevice(void *, uint8_t *record) {
    CheckSizeField(record);
    if (g_records->next >= g_records->microsoft.size())
        return false;
    std::memcpy(record, g_records->microsoft[g_records->next++].data(), kDeviceInfoSize);
    return true;
}
void FindDeviceClose(void *) {}

int GetDeviceCount(WidI::Stack) {
    return g_records->widcommCount;
}
const unsigned char *GetDeviceRecord(WidI::Stack, int index) {
    if (index < 0 || index >= g_records->widcommCount)
        g_records->askedOutside = true;
    if (index < 0 || static_cast<size_t>(index) >= g_records->widcomm.size())
        return nullptr;
    return g_records->widcomm[static_cast<size_t>(index)].get();
}

// A unit name at `name`: the prefix, a separator and a serial from the
// input, in one-byte characters.
Bytes UnitName(Input &in) {
    Bytes name(kUnitNamePrefix, kUnitNamePrefix + kPrefixLength);
    const Bytes rest = in.Take(in.Byte() % 16);
    name.insert(name.end(), rest.begin(), rest.end());
    return name;
}

// The record's address as the library prints it: most significant byte first.
std::wstring AddressOf(const uint8_t *leastSignificantFirst) {
    const uint8_t bytes[6] = {leastSignificantFirst[5], leastSignificantFirst[4], leastSignificantFirst[3],
                              leastSignificantFirst[2], leastSignificantFirst[1], leastSignificantFirst[0]};
    return AddressText(bytes);
}

void CheckPort(const GPortRef &port, const std::wstring &name, const std::wstring &address, const uint8_t *record,
               size_t recordSize) {
    Require(port.GetLocation() == address && port.GetLocation().size() == 12, "a unit's location is its address");
    Require(port.GetDeviceName() == (name.size() > 12 ? name.substr(12) : std::wstring()),
            "a unit's device name is its name after the separator");
    Require(static_cast<size_t>(port.GetPortDataLength()) == recordSize &&
                std::memcmp(port.GetPortData(), record, recordSize) == 0,
            "a unit's port carries its record");
}

void SearchMicrosoft(Input &in, Records &records) {
    const int count = in.Byte() % 6;
    for (int i = 0; i < count; ++i) {
        const uint8_t shape = in.Byte();
        Bytes record = in.Take(kDeviceInfoSize);
        if (shape & 1) {
            const Bytes name = UnitName(in);
            for (size_t c = 0; c < name.size(); ++c) {
                record[kDeviceInfoNameOffset + 2 * c] = name[c];
                record[kDeviceInfoNameOffset + 2 * c + 1] = 0;
            }
            if (shape & 2) { // terminated there
                record[kDeviceInfoNameOffset + 2 * name.size()] = 0;
                record[kDeviceInfoNameOffset + 2 * name.size() + 1] = 0;
            }
        }
        records.microsoft.push_back(record);
    }
    MicrosoftBluetoothApi table = {&FindFirstRadio,  &FindRadioClose, &CloseRadio,
                                   &FindFirstDevice, &FindNextDevice, &FindDeviceClose};
    const MicrosoftBluetoothApi *saved = SetMicrosoftBluetoothForTesting(&table);
    std::vector<GPortRef> ports(1); // a search that finds nothing leaves the list as it was
    SearchMicrosoftStack(ports);
    SetMicrosoftBluetoothForTesting(saved);

    Require(records.sizeFieldSet, "the API always gets a record with its size field set");
    if (records.microsoft.empty()) {
        Require(ports.size() == 1, "a failed search leaves the list");
        return;
    }
    size_t found = 0;
    for (const Bytes &record : records.microsoft) {
        std::wstring name;
        for (size_t c = 0; c < kDeviceInfoNameLength; ++c) {
            const wchar_t ch = static_cast<wchar_t>(record[kDeviceInfoNameOffset + 2 * c] |
                                                    record[kDeviceInfoNameOffset + 2 * c + 1] << 8);
            if (ch == 0)
                break;
            name.push_back(ch);
        }
        if (name.compare(0, kPrefixLength, kUnitNamePrefix) != 0 || name.size() < kPrefixLength)
            continue;
        Require(found < ports.size(), "every record with a unit name becomes a port");
        CheckPort(ports[found++], name, AddressOf(record.data() + kDeviceInfoAddressOffset), record.data(),
                  kDeviceInfoSize);
    }
    Require(found == ports.size(), "only records with a unit name become ports");
}

void ListWidcomm(Input &in, Records &records) {
    const int available = in.Byte() % 6;
    for (int i = 0; i < available; ++i) {
        const uint8_t shape = in.Byte();
        if (shape & 4) {
            records.widcomm.emplace_back(nullptr);
            continue;
        }
        std::unique_ptr<uint8_t[]> record(new uint8_t[WidI::kRecordSize]);
        const Bytes raw = in.Take(WidI::kRecordSize);
        std::memcpy(record.get(), raw.data(), raw.size());
        if (shape & 1) {
            const Bytes name = UnitName(in);
            std::memcpy(record.get() + WidI::kRecordNameOffset, name.data(), name.size());
            if (shape & 2)
                record[WidI::kRecordNameOffset + name.size()] = 0;
        }
        records.widcomm.push_back(std::move(record));
    }
    // Any count at all: fewer, more or negative.
    records.widcommCount = static_cast<int8_t>(in.Byte());

    WidI::Api shim{};
    shim.GetDeviceCount = &GetDeviceCount;
    shim.GetDeviceRecord = &GetDeviceRecord;
    std::vector<GPortRef> ports(1);
    ListWidcommUnits(shim, nullptr, ports);

    Require(!records.askedOutside, "the shim is asked only for the records it counted");
    size_t found = 0;
    for (size_t i = 0; i < records.widcomm.size() && static_cast<int>(i) < records.widcommCount; ++i) {
        const uint8_t *record = records.widcomm[i].get();
        if (record == nullptr)
            continue;
        const char *text = reinterpret_cast<const char *>(record + WidI::kRecordNameOffset);
        const std::wstring name =
            WidenText(std::string(text, strnlen(text, WidI::kRecordSize - WidI::kRecordNameOffset)));
        if (name.size() < kPrefixLength || name.compare(0, kPrefixLength, kUnitNamePrefix) != 0)
            continue;
        Require(found < ports.size(), "every record with a unit name becomes a port");
        CheckPort(ports[found++], name, AddressOf(record + WidI::kRecordAddressOffset), record, WidI::kRecordSize);
    }
    Require(found == ports.size(), "only records with a unit name become ports");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    Records records;
    g_records = &records;
    if (in.Byte() & 1)
        ListWidcomm(in, records);
    else
        SearchMicrosoft(in, records);
    g_records = nullptr;
    return 0;
}
