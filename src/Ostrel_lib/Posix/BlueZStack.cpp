// The BlueZ stack's probe and search, over the library's system-bus
// connection. Units are named, addressed and turned into port references by
// the same rules as on the other stacks.
#include "BlueZStack.h"

#include "BlueZBus.h"
#include "BlueZDeviceImp.h"
#include "BlueZObjects.h"
#include "BlueZPortRecord.h"
#include "BluetoothStacks.h"
#include "GUtils.h"
#include "Platform.h"
#include "StackBackend.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

static const wchar_t kTraceModule[] = L"BlueZStack.cpp";

namespace {

// The Microsoft stack's inquiry: 6 x 1.28 s.
constexpr uint32_t kDiscoveryMs = 6 * 1280;
constexpr uint32_t kNameOwnerTimeoutMs = 500;
constexpr uint32_t kDiscoveryCallTimeoutMs = 5000;

std::atomic<uint32_t> g_discoveryMs{kDiscoveryMs};

std::wstring Wide(const std::string &text) {
    return WidenText(text);
}

bool ServiceRunning() {
    BlueZBus &bus = BlueZBus::Instance();
    DBus::MessagePtr call =
        bus.NewCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner");
    if (call == nullptr || !DBus::Writer(*DBus::Library(), call.get()).String(BlueZNames::kService).Ok())
        return false;
    BlueZReply reply = bus.Call(std::move(call), kNameOwnerTimeoutMs);
    if (!reply.ok) {
        OSTREL_TRACE(L"NameHasOwner failed: " << Wide(reply.failure.Text()));
        return false;
    }
    return DBus::Reader(*DBus::Library(), reply.message.get()).Boolean();
}

bool CallAdapter(DBus::MessagePtr call, const std::string &adapter, const char *method) {
    BlueZReply reply = BlueZBus::Instance().Call(std::move(call), kDiscoveryCallTimeoutMs);
    if (!reply.ok)
        OSTREL_TRACE(Wide(method) << L" failed on " << Wide(adapter) << L": " << Wide(reply.failure.Text()));
    return reply.ok;
}

DBus::MessagePtr AdapterCall(const std::string &adapter, const char *method) {
    return BlueZBus::Instance().NewCall(BlueZNames::kService, adapter.c_str(), BlueZNames::kAdapter, method);
}

// Without a filter BlueZ spends most of the window scanning for LE devices
// (units are BR/EDR only) and leaves little to inquiry and name requests;
// the filter is this client's alone and ends with its connection.
bool StartInquiry(const std::string &adapter) {
    DBus::MessagePtr filter = AdapterCall(adapter, "SetDiscoveryFilter");
    if (filter != nullptr && !DBus::Writer(*DBus::Library(), filter.get())
                                  .BeginDictionary()
                                  .Entry("Transport", "bredr")
                                  .EndDictionary()
                                  .Ok())
        filter.reset();
    CallAdapter(std::move(filter), adapter, "SetDiscoveryFilter");
    return CallAdapter(AdapterCall(adapter, "StartDiscovery"), adapter, "StartDiscovery");
}

// One port per unit, however many adapters know it: named as the first entry
// that has a unit name, reached through the adapter of the entry the link
// would use.
void AddUnits(const std::vector<BlueZObject> &objects, std::vector<GPortRef> &ports) {
    std::vector<BluetoothSocket::Address> listed;
    for (const BlueZObject &object : objects) {
        BluetoothSocket::Address unit{}, adapter{};
        if (!object.device || !object.named || !IsUnitName(Wide(object.name)) ||
            !BlueZPortRecord::ParseAddress(object.address, unit) ||
            std::find(listed.begin(), listed.end(), unit) != listed.end())
            continue;
        const BlueZObject *entry = BestDeviceEntry(objects, unit);
        if (entry == nullptr || AdapterOf(objects, *entry, adapter) == nullptr)
            continue;
        listed.push_back(unit);
        uint8_t bytes[BlueZPortRecord::kAddressSize];
        std::copy(unit.begin(), unit.end(), bytes);
        const std::vector<uint8_t> record = BlueZPortRecord::Encode(unit, adapter);
        ports.push_back(
            UnitPort(Wide(object.name), AddressText(bytes), record.data(), static_cast<int32_t>(record.size())));
    }
}

// Discovery on every powered adapter for the inquiry time, then every device
// BlueZ knows, paired or just seen.
void SearchBlueZStack(std::vector<GPortRef> &ports) {
    BlueZBusUse bus;
    if (!bus.Ok()) {
        OSTREL_TRACE(L"no system bus for the search: " << Wide(bus.failure.Text()));
        return;
    }
    std::vector<BlueZObject> objects;
    if (!ReadBlueZObjects(objects))
        return;
    std::vector<std::string> discovering;
    bool powered = false;
    for (const BlueZObject &object : objects) {
        if (!object.adapter || !object.powered)
            continue;
        powered = true;
        if (StartInquiry(object.path))
            discovering.push_back(object.path);
    }
    // A discovery of another program counts too: the window is waited for
    // whenever an adapter can hear.
    if (powered)
        Platform::Sleep(g_discoveryMs.load());
    for (const std::string &adapter : discovering)
        CallAdapter(AdapterCall(adapter, "StopDiscovery"), adapter, "StopDiscovery");
    if (!ReadBlueZObjects(objects))
        return;
    ports.clear();
    AddUnits(objects, ports);
}

const StackBackend kBlueZBackend = {&SearchBlueZStack, &CreateBlueZDevice};

} // namespace

bool IsBlueZStackUsable() {
    BlueZBusUse bus;
    if (!bus.Ok()) {
        OSTREL_TRACE(L"BlueZ probe: no system bus: " << Wide(bus.failure.Text()));
        return false;
    }
    std::vector<BlueZObject> objects;
    if (!ServiceRunning() || !ReadBlueZObjects(objects))
        return false;
    return std::any_of(objects.begin(), objects.end(),
                       [](const BlueZObject &object) { return object.adapter && object.powered; });
}

const StackBackend *BlueZStackBackend() {
    return &kBlueZBackend;
}

void SetBlueZDiscoveryMsForTesting(uint32_t milliseconds) {
    g_discoveryMs.store(milliseconds != 0 ? milliseconds : kDiscoveryMs);
}
