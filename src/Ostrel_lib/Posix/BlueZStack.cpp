// The BlueZ stack's probe and search, over the library's system-bus
// connection. Units are named, addressed and turned into port references by
// the same rules as on the other stacks.
#include "BlueZStack.h"

#include "BlueZBus.h"
#include "BlueZDeviceImp.h"
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
constexpr uint32_t kObjectsTimeoutMs = 5000;
constexpr uint32_t kDiscoveryCallTimeoutMs = 5000;

std::atomic<uint32_t> g_discoveryMs{kDiscoveryMs};

// What the search needs of one object BlueZ manages.
struct BusObject {
    std::string path;
    bool adapter = false;
    bool powered = false;
    bool device = false;
    bool named = false;
    std::string name;
    std::string address;
};

// One user of the bus for the life of the object.
class BusUse {
  public:
    BusUse() : m_ok(BlueZBus::Instance().Acquire(failure)) {}
    ~BusUse() {
        if (m_ok)
            BlueZBus::Instance().Release();
    }
    BusUse(const BusUse &) = delete;
    BusUse &operator=(const BusUse &) = delete;
    bool Ok() const { return m_ok; }

    DBus::Failure failure;

  private:
    bool m_ok;
};

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

// The a{sv} of one interface: the few properties the search reads.
void ReadProperties(DBus::Reader properties, BusObject &object) {
    for (; !properties.AtEnd(); properties.Next()) {
        DBus::Reader property = properties.Enter();
        const std::string key = property.Text();
        property.Next();
        DBus::Reader value = property.Enter();
        if (key == "Powered")
            object.powered = value.Boolean();
        else if (key == "Address")
            object.address = value.Text();
        else if (key == "Name" && value.Type() == DBus::kTypeString) {
            object.name = value.Text();
            object.named = true;
        }
    }
}

// ObjectManager.GetManagedObjects of BlueZ: a{oa{sa{sv}}}.
bool ManagedObjects(std::vector<BusObject> &objects) {
    BlueZBus &bus = BlueZBus::Instance();
    BlueZReply reply = bus.Call(bus.NewCall(BlueZNames::kService, "/", BlueZNames::kObjectManager, "GetManagedObjects"),
                                kObjectsTimeoutMs);
    if (!reply.ok) {
        OSTREL_TRACE(L"GetManagedObjects failed: " << Wide(reply.failure.Text()));
        return false;
    }
    objects.clear();
    DBus::Reader entries = DBus::Reader(*DBus::Library(), reply.message.get()).Enter();
    for (; !entries.AtEnd(); entries.Next()) {
        DBus::Reader entry = entries.Enter();
        BusObject object;
        object.path = entry.Text();
        entry.Next();
        for (DBus::Reader interfaces = entry.Enter(); !interfaces.AtEnd(); interfaces.Next()) {
            DBus::Reader interface = interfaces.Enter();
            const std::string name = interface.Text();
            interface.Next();
            const bool adapter = name == BlueZNames::kAdapter;
            const bool device = name == BlueZNames::kDevice;
            if (!adapter && !device)
                continue;
            object.adapter = object.adapter || adapter;
            object.device = object.device || device;
            ReadProperties(interface.Enter(), object);
        }
        objects.push_back(object);
    }
    return true;
}

bool CallAdapter(const std::string &adapter, const char *method) {
    BlueZBus &bus = BlueZBus::Instance();
    BlueZReply reply = bus.Call(bus.NewCall(BlueZNames::kService, adapter.c_str(), BlueZNames::kAdapter, method),
                                kDiscoveryCallTimeoutMs);
    if (!reply.ok)
        OSTREL_TRACE(Wide(method) << L" failed on " << Wide(adapter) << L": " << Wide(reply.failure.Text()));
    return reply.ok;
}

void AddBlueZDevice(const BusObject &object, std::vector<GPortRef> &ports) {
    if (!object.device || !object.named)
        return;
    const std::wstring name = Wide(object.name);
    std::array<uint8_t, BlueZPortRecord::kAddressSize> address{};
    if (!IsUnitName(name) || !BlueZPortRecord::ParseAddress(object.address, address))
        return;
    uint8_t bytes[BlueZPortRecord::kAddressSize];
    std::copy(address.begin(), address.end(), bytes);
    const std::vector<uint8_t> record = BlueZPortRecord::Encode(address, object.path);
    ports.push_back(UnitPort(name, AddressText(bytes), record.data(), static_cast<int32_t>(record.size())));
}

// Discovery on every powered adapter for the inquiry time, then every device
// BlueZ knows, paired or just seen.
void SearchBlueZStack(std::vector<GPortRef> &ports) {
    BusUse bus;
    if (!bus.Ok()) {
        OSTREL_TRACE(L"no system bus for the search: " << Wide(bus.failure.Text()));
        return;
    }
    std::vector<BusObject> objects;
    if (!ManagedObjects(objects))
        return;
    std::vector<std::string> discovering;
    bool powered = false;
    for (const BusObject &object : objects) {
        if (!object.adapter || !object.powered)
            continue;
        powered = true;
        if (CallAdapter(object.path, "StartDiscovery"))
            discovering.push_back(object.path);
    }
    // A discovery of another program counts too: the window is waited for
    // whenever an adapter can hear.
    if (powered)
        Platform::Sleep(g_discoveryMs.load());
    for (const std::string &adapter : discovering)
        CallAdapter(adapter, "StopDiscovery");
    if (!ManagedObjects(objects))
        return;
    ports.clear();
    for (const BusObject &object : objects)
        AddBlueZDevice(object, ports);
}

const StackBackend kBlueZBackend = {&SearchBlueZStack, &CreateBlueZDevice};

} // namespace

bool IsBlueZStackUsable() {
    BusUse bus;
    if (!bus.Ok()) {
        OSTREL_TRACE(L"BlueZ probe: no system bus: " << Wide(bus.failure.Text()));
        return false;
    }
    std::vector<BusObject> objects;
    if (!ServiceRunning() || !ManagedObjects(objects))
        return false;
    return std::any_of(objects.begin(), objects.end(),
                       [](const BusObject &object) { return object.adapter && object.powered; });
}

const StackBackend *BlueZStackBackend() {
    return &kBlueZBackend;
}

void SetBlueZDiscoveryMsForTesting(uint32_t milliseconds) {
    g_discoveryMs.store(milliseconds != 0 ? milliseconds : kDiscoveryMs);
}
