#include "FakeStacks.h"

#include <algorithm>
#include <cstring>

namespace stacks_test {

namespace {

void WriteLittleEndian(uint8_t *bytes, uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t AddressValue(const std::array<uint8_t, 6> &address) {
    uint64_t value = 0;
    for (uint8_t byte : address)
        value = value << 8 | byte;
    return value;
}

void *const kRadioFind = reinterpret_cast<void *>(0x1001);
void *const kRadio = reinterpret_cast<void *>(0x1002);
void *const kDeviceFind = reinterpret_cast<void *>(0x1003);
char g_stackToken;
char g_connectionToken;

} // namespace

// ---------------------------------------------------------------- Microsoft

FakeMicrosoftBluetooth *FakeMicrosoftBluetooth::current = nullptr;

FakeMicrosoftBluetooth::FakeMicrosoftBluetooth()
    : m_table{&FindFirstRadio, &FindRadioClose, &CloseRadio, &FindFirstDevice, &FindNextDevice, &FindDeviceClose} {
    current = this;
    m_saved = SetMicrosoftBluetoothForTesting(&m_table);
}

FakeMicrosoftBluetooth::~FakeMicrosoftBluetooth() {
    SetMicrosoftBluetoothForTesting(m_saved);
    current = nullptr;
}

void FakeMicrosoftBluetooth::Fill(size_t index, uint8_t *record) const {
    const FakeDevice &device = devices[index];
    WriteLittleEndian(record + kDeviceInfoAddressOffset, AddressValue(device.address), 8);
    // The fields around the name stay as a search leaves them: the name is
    // zero-terminated inside its 248 characters.
    for (size_t i = 0; i < device.name.size() && i < kDeviceInfoNameLength; ++i)
        WriteLittleEndian(record + kDeviceInfoNameOffset + 2 * i, static_cast<uint16_t>(device.name[i]), 2);
    record[kDeviceInfoSize - 1] = static_cast<uint8_t>(0xA0 + index); // marks the copy
}

void *FakeMicrosoftBluetooth::FindFirstRadio(void **radio) {
    if (!current->radioPresent)
        return nullptr;
    ++current->radioFindsOpen;
    ++current->radiosOpen;
    *radio = kRadio;
    return kRadioFind;
}

void FakeMicrosoftBluetooth::FindRadioClose(void *find) {
    if (find == kRadioFind)
        --current->radioFindsOpen;
}

void FakeMicrosoftBluetooth::CloseRadio(void *radio) {
    if (radio == kRadio)
        --current->radiosOpen;
}

void *FakeMicrosoftBluetooth::FindFirstDevice(const DeviceSearchParams &params, uint8_t *record) {
    FakeMicrosoftBluetooth &self = *current;
    self.lastParams = params;
    self.sizeFieldsSeen.push_back(record[0] | record[1] << 8 | record[2] << 16 |
                                  static_cast<uint32_t>(record[3]) << 24);
    if (!self.searchRuns || self.devices.empty())
        return nullptr;
    self.Fill(0, record);
    self.m_next = 1;
    ++self.deviceFindsOpen;
    return kDeviceFind;
}

bool FakeMicrosoftBluetooth::FindNextDevice(void *find, uint8_t *record) {
    FakeMicrosoftBluetooth &self = *current;
    self.sizeFieldsSeen.push_back(record[0] | record[1] << 8 | record[2] << 16 |
                                  static_cast<uint32_t>(record[3]) << 24);
    if (find != kDeviceFind || self.m_next >= self.devices.size())
        return false;
    self.Fill(self.m_next++, record);
    return true;
}

void FakeMicrosoftBluetooth::FindDeviceClose(void *find) {
    if (find == kDeviceFind)
        --current->deviceFindsOpen;
}

// ---------------------------------------------------------------- Widcomm

FakeWidcommShim *FakeWidcommShim::current = nullptr;

namespace {

FakeWidcommShim &Shim(const char *call) {
    FakeWidcommShim::current->calls.push_back(call);
    return *FakeWidcommShim::current;
}

WidI::Stack OpenStack() {
    FakeWidcommShim &self = Shim("OpenStack");
    if (!self.stackAnswers)
        return nullptr;
    ++self.stacksOpen;
    return &g_stackToken;
}
void CloseStack(WidI::Stack stack) {
    if (stack == &g_stackToken)
        --Shim("CloseStack").stacksOpen;
}
void StartInquiry(WidI::Stack) {
    FakeWidcommShim &self = Shim("StartInquiry");
    self.records.clear();
    for (const FakeDevice &device : self.devices) {
        // A name too long for the record fills it to the end, unterminated.
        std::array<unsigned char, WidI::kRecordSize> record{};
        for (int i = 0; i < 6; ++i)
            record[WidI::kRecordAddressOffset + i] = device.address[5 - i];
        for (size_t i = 0; i < device.name.size() && i + WidI::kRecordNameOffset < record.size(); ++i)
            record[WidI::kRecordNameOffset + i] = static_cast<unsigned char>(device.name[i]);
        self.records.push_back(record);
    }
}
void StopInquiry(WidI::Stack) {
    Shim("StopInquiry");
}
void StartServiceDiscovery(WidI::Stack, const unsigned char address[6]) {
    std::memcpy(Shim("StartServiceDiscovery").targetAddress.data(), address, 6);
}
int GetDeviceCount(WidI::Stack) {
    return static_cast<int>(Shim("GetDeviceCount").records.size());
}
const unsigned char *GetDeviceRecord(WidI::Stack, int index) {
    FakeWidcommShim &self = Shim("GetDeviceRecord");
    const size_t i = static_cast<size_t>(index);
    if (std::find(self.nullRecords.begin(), self.nullRecords.end(), i) != self.nullRecords.end())
        return nullptr;
    return i < self.records.size() ? self.records[i].data() : nullptr;
}
WidI::Connection CreateConnection() {
    Shim("CreateConnection");
    return &g_connectionToken;
}
void SetReceiveCallback(WidI::Connection, WidI::ReceiveCallback, void *) {
    Shim("SetReceiveCallback");
}
void DestroyConnection(WidI::Connection) {
    Shim("DestroyConnection");
}
int Connect(WidI::Connection) {
    return Shim("Connect").connectResult;
}
void Disconnect(WidI::Connection) {
    Shim("Disconnect");
}
int Write(WidI::Connection, const unsigned char *, int *count) {
    FakeWidcommShim &self = Shim("Write");
    if (self.writeResult == 0)
        *count = *count - 1; // the shim may report fewer bytes: passed on as it stands
    return self.writeResult;
}
int ContinueDiscovery(WidI::Stack) {
    Shim("ContinueDiscovery");
    return 12345; // ignored
}
unsigned char GetDiscoveredChannel(WidI::Stack) {
    return Shim("GetDiscoveredChannel").channel;
}
void SetConnectionTarget(WidI::Connection, const unsigned char address[6], unsigned char channel) {
    FakeWidcommShim &self = Shim("SetConnectionTarget");
    std::memcpy(self.targetAddress.data(), address, 6);
    self.targetChannel = channel;
}
int IsServiceFound(WidI::Stack) {
    return Shim("IsServiceFound").serviceFound ? 1 : 0;
}
void SetEventCallback(WidI::Connection, WidI::EventCallback callback, void *context) {
    Shim("SetEventCallback");
    // The library's callback must ignore whatever it is given.
    if (callback != nullptr && callback(context, 42) != 0)
        Shim("EventCallbackNonZero");
}

} // namespace

FakeWidcommShim::FakeWidcommShim()
    : m_table{&OpenStack,
              &CloseStack,
              &StartInquiry,
              &StopInquiry,
              &StartServiceDiscovery,
              &GetDeviceCount,
              &GetDeviceRecord,
              &CreateConnection,
              &SetReceiveCallback,
              &DestroyConnection,
              &Connect,
              &Disconnect,
              &Write,
              &ContinueDiscovery,
              &GetDiscoveredChannel,
              &SetConnectionTarget,
              &IsServiceFound,
              &SetEventCallback} {
    current = this;
    m_saved = SetWidIShimForTesting(&m_table);
    SetWidcommWaitsForTesting(1, 1);
}

FakeWidcommShim::~FakeWidcommShim() {
    SetWidcommWaitsForTesting(0, 0);
    SetWidIShimForTesting(m_saved);
    current = nullptr;
}

size_t FakeWidcommShim::Count(const std::string &call) const {
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

const WidI::Api &IncompleteShim() {
    static const WidI::Api table = [] {
        WidI::Api api{};
        api.OpenStack = &OpenStack;
        api.CloseStack = &CloseStack;
        return api;
    }();
    return table;
}

} // namespace stacks_test
