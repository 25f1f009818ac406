#include "BlueZObjects.h"

#include "BlueZBus.h"
#include "BlueZPortRecord.h"
#include "GUtils.h"

static const wchar_t kTraceModule[] = L"BlueZObjects.cpp";

namespace {

constexpr uint32_t kObjectsTimeoutMs = 5000;

// The a{sv} of one interface: the few properties the stack reads.
void ReadProperties(DBus::Reader properties, BlueZObject &object) {
    for (; !properties.AtEnd(); properties.Next()) {
        DBus::Reader property = properties.Enter();
        const std::string key = property.Text();
        property.Next();
        DBus::Reader value = property.Enter();
        if (key == "Powered")
            object.powered = value.Boolean();
        else if (key == "Paired")
            object.paired = value.Boolean();
        else if (key == "Address")
            object.address = value.Text();
        else if (key == "Adapter")
            object.adapterPath = value.Text();
        else if (key == "Name" && value.Type() == DBus::kTypeString) {
            object.name = value.Text();
            object.named = true;
        }
    }
}

bool HasAddress(const BlueZObject &object, const BluetoothSocket::Address &address) {
    BluetoothSocket::Address own{};
    return BlueZPortRecord::ParseAddress(object.address, own) && own == address;
}

const BlueZObject *PoweredAdapter(const std::vector<BlueZObject> &objects, const BluetoothSocket::Address *address) {
    for (const BlueZObject &object : objects)
        if (object.adapter && object.powered && (address == nullptr || HasAddress(object, *address)))
            return &object;
    return nullptr;
}

} // namespace

bool ReadBlueZObjects(std::vector<BlueZObject> &objects) {
    BlueZBus &bus = BlueZBus::Instance();
    BlueZReply reply = bus.Call(bus.NewCall(BlueZNames::kService, "/", BlueZNames::kObjectManager, "GetManagedObjects"),
                                kObjectsTimeoutMs);
    if (!reply.ok) {
        OSTREL_TRACE(L"GetManagedObjects failed: " << WidenText(reply.failure.Text()));
        return false;
    }
    objects.clear();
    // a{oa{sa{sv}}}
    DBus::Reader entries = DBus::Reader(*DBus::Library(), reply.message.get()).Enter();
    for (; !entries.AtEnd(); entries.Next()) {
        DBus::Reader entry = entries.Enter();
        BlueZObject object;
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

const BlueZObject *AdapterOf(const std::vector<BlueZObject> &objects, const BlueZObject &device,
                             BluetoothSocket::Address &adapterAddress) {
    for (const BlueZObject &object : objects)
        if (object.adapter && object.path == device.adapterPath)
            return BlueZPortRecord::ParseAddress(object.address, adapterAddress) ? &object : nullptr;
    return nullptr;
}

const BlueZObject *BestDeviceEntry(const std::vector<BlueZObject> &objects, const BluetoothSocket::Address &address) {
    const BlueZObject *best = nullptr;
    int bestRank = -1;
    for (const BlueZObject &object : objects) {
        if (!object.device || !HasAddress(object, address))
            continue;
        BluetoothSocket::Address adapter{};
        const BlueZObject *owner = AdapterOf(objects, object, adapter);
        const int rank = (owner != nullptr && owner->powered ? 2 : 0) + (object.paired ? 1 : 0);
        if (rank > bestRank) {
            best = &object;
            bestRank = rank;
        }
    }
    return best;
}

bool AdapterFor(const std::vector<BlueZObject> &objects, const BluetoothSocket::Address &unit,
                const BluetoothSocket::Address &remembered, BluetoothSocket::Address &adapter) {
    if (const BlueZObject *device = BestDeviceEntry(objects, unit)) {
        const BlueZObject *owner = AdapterOf(objects, *device, adapter);
        if (owner != nullptr && owner->powered)
            return true;
    }
    const BlueZObject *fallback = PoweredAdapter(objects, &remembered);
    if (fallback == nullptr)
        fallback = PoweredAdapter(objects, nullptr);
    return fallback != nullptr && BlueZPortRecord::ParseAddress(fallback->address, adapter);
}
