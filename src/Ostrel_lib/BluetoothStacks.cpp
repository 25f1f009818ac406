#include "BluetoothStacks.h"

#include "BlueZStack.h"
#include "MSBTDeviceImp.h"
#include "MicrosoftBluetoothApi.h"
#include "StackBackend.h"
#include "WidIShim.h"
#include "WidcommBTDeviceImp.h"

#include <cstdio>
#include <cstring>

std::atomic<int32_t> BluetoothStackType{kStackNone};

namespace {

constexpr size_t kUnitNamePrefixLength = 11;
// The prefix and the one character after it.
constexpr size_t kDeviceNameOffset = 12;
constexpr int kAddressTextCapacity = 60;
constexpr uint8_t kInquiryTimeoutMultiplier = 6; // 6 x 1.28 s

// Only yes is remembered; a no is asked again next time. Written without a
// lock: a race can only repeat a probe.
std::atomic<bool> g_interfacePresent{false};
std::atomic<bool> g_microsoftStackUsable{false};

void WriteLittleEndian32(uint8_t *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A fresh device record for the next call: zeroed, its size field set.
void PrepareDeviceRecord(uint8_t (&record)[kDeviceInfoSize]) {
    std::memset(record, 0, sizeof record);
    WriteLittleEndian32(record, static_cast<uint32_t>(kDeviceInfoSize));
}

std::wstring DeviceInfoName(const uint8_t (&record)[kDeviceInfoSize]) {
    std::wstring name;
    for (size_t i = 0; i < kDeviceInfoNameLength; ++i) {
        const uint8_t *unit = record + kDeviceInfoNameOffset + 2 * i;
        const wchar_t c = static_cast<wchar_t>(unit[0] | unit[1] << 8);
        if (c == L'\0')
            break;
        name.push_back(c);
    }
    return name;
}

// Both stacks store the address least significant byte first; the text
// starts with the most significant one.
std::wstring AddressTextOfStoredAddress(const uint8_t *address) {
    const uint8_t bytes[6] = {address[5], address[4], address[3], address[2], address[1], address[0]};
    return AddressText(bytes);
}

void AddMicrosoftDevice(const uint8_t (&record)[kDeviceInfoSize], std::vector<GPortRef> &ports) {
    const std::wstring name = DeviceInfoName(record);
    if (IsUnitName(name))
        ports.push_back(UnitPort(name, AddressTextOfStoredAddress(record + kDeviceInfoAddressOffset), record,
                                 static_cast<int32_t>(kDeviceInfoSize)));
}

void AddWidcommDevice(const unsigned char *record, std::vector<GPortRef> &ports) {
    // The name is zero-terminated within the record; a record without the
    // terminator ends its name at the record's end instead of reading past it.
    const char *text = reinterpret_cast<const char *>(record + WidI::kRecordNameOffset);
    const size_t length = strnlen(text, WidI::kRecordSize - WidI::kRecordNameOffset);
    const std::wstring name = WidenText(std::string(text, length));
    if (!IsUnitName(name))
        return;
    ports.push_back(
        UnitPort(name, AddressTextOfStoredAddress(record + WidI::kRecordAddressOffset), record, WidI::kRecordSize));
}

const StackBackend kMicrosoftBackend = {&SearchMicrosoftStack, &CreateMSBTDevice};
const StackBackend kWidcommBackend = {&SearchWidcommStack, &CreateWidcommDevice};

} // namespace

bool HasMicrosoftBluetoothInterface(const Platform::OsVersion &version) {
    if (version.platformId != Platform::kPlatformWin32Nt)
        return false;
    if (version.major > 5)
        return true;
    return version.major == 5 && version.minor >= 1 && version.servicePackMajor >= 2;
}

bool IsMicrosoftInterfacePresent() {
    if (g_interfacePresent.load())
        return true;
    Platform::OsVersion version{};
    if (!Platform::GetOsVersion(version) || !HasMicrosoftBluetoothInterface(version))
        return false;
    g_interfacePresent.store(true);
    return true;
}

bool IsMicrosoftStackUsable() {
    if (g_microsoftStackUsable.load())
        return true;
    if (!IsMicrosoftInterfacePresent())
        return false;
    // A missing API library counts as no radio.
    const MicrosoftBluetoothApi *api = MicrosoftBluetooth();
    if (api == nullptr)
        return false;
    void *radio = nullptr;
    void *find = api->FindFirstRadio(&radio);
    if (find == nullptr)
        return false;
    api->FindRadioClose(find);
    api->CloseRadio(radio);
    g_microsoftStackUsable.store(true);
    return true;
}

bool IsWidcommStackUsable() {
    const WidI::Api *shim = WidIShim();
    if (shim == nullptr)
        return false;
    WidI::Stack stack = shim->OpenStack();
    if (stack == nullptr)
        return false;
    shim->CloseStack(stack);
    return true;
}

int32_t ChooseBluetoothStack() {
    if (IsMicrosoftStackUsable())
        return kStackMicrosoft;
    if (IsWidcommStackUsable())
        return kStackWidcomm;
    if (IsMicrosoftInterfacePresent())
        return kStackMicrosoft;
    if (IsBlueZStackUsable())
        return kStackBlueZ;
    return kStackNone;
}

bool IsUnitName(const std::wstring &name) {
    return name.size() >= kUnitNamePrefixLength && name.compare(0, kUnitNamePrefixLength, kUnitNamePrefix) == 0;
}

std::wstring AddressText(const uint8_t (&bytes)[6]) {
    char text[kAddressTextCapacity];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5]);
    return WidenText(text);
}

GPortRef UnitPort(const std::wstring &name, const std::wstring &location, const uint8_t *record, int32_t recordLength) {
    const std::wstring deviceName = name.size() > kDeviceNameOffset ? name.substr(kDeviceNameOffset) : std::wstring();
    return GPortRef(location, deviceName, std::wstring(), record, recordLength);
}

void SearchMicrosoftStack(std::vector<GPortRef> &ports) {
    // The stack may have been chosen through probe C alone; without the API
    // the search finds nothing.
    const MicrosoftBluetoothApi *api = MicrosoftBluetooth();
    if (api == nullptr)
        return;
    const DeviceSearchParams params = {true, true, true, true, true, kInquiryTimeoutMultiplier};
    uint8_t record[kDeviceInfoSize];
    PrepareDeviceRecord(record);
    void *find = api->FindFirstDevice(params, record);
    if (find == nullptr)
        return;
    ports.clear();
    // The record is taken as the search delivered it: it already carries the
    // name and the address, and refreshing it would need a radio handle.
    do {
        AddMicrosoftDevice(record, ports);
        PrepareDeviceRecord(record);
    } while (api->FindNextDevice(find, record));
    api->FindDeviceClose(find);
}

void SearchWidcommStack(std::vector<GPortRef> &ports) {
    const WidI::Api *shim = WidIShim();
    if (shim == nullptr)
        return;
    WidI::Stack stack = shim->OpenStack();
    if (stack == nullptr)
        return;
    shim->StartInquiry(stack);
    for (int slice = 0; slice < kWidcommInquirySlices; ++slice)
        Platform::Sleep(WidcommInquirySliceMs());
    shim->StopInquiry(stack);
    ListWidcommUnits(*shim, stack, ports);
    shim->CloseStack(stack);
}

void ListWidcommUnits(const WidI::Api &shim, WidI::Stack stack, std::vector<GPortRef> &ports) {
    ports.clear();
    const int count = shim.GetDeviceCount(stack);
    for (int i = 0; i < count; ++i) {
        const unsigned char *record = shim.GetDeviceRecord(stack, i);
        if (record != nullptr)
            AddWidcommDevice(record, ports);
    }
}

const StackBackend *BuiltInStackBackend(int32_t stackType) {
    switch (stackType) {
    case kStackMicrosoft:
        return &kMicrosoftBackend;
    case kStackWidcomm:
        return &kWidcommBackend;
    case kStackBlueZ:
        return BlueZStackBackend();
    default:
        return nullptr;
    }
}
