#include "SimWidI.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace sim {
namespace {

using Record = std::array<unsigned char, SimWidI::kRecordSize>;

constexpr const char *kDefaultSerials = "12345,67890";

struct UnitEntry {
    std::shared_ptr<SimUnit> unit;
    bool service;
};

struct Stack {
    std::mutex lock;
    std::deque<Record> records; // every snapshot until close: pointers handed out stay valid
    size_t current = 0;         // first record of the latest snapshot
    bool inquired = false;
    bool serviceFound = false;
};

struct Connection;

// What the unit's threads reach: fixed at connect and shared with the unit's
// callbacks, so that it outlives the last of them.
struct Link {
    const Connection *owner;
    WidI_ReceiveCallback receive;
    void *receiveContext;
    WidI_EventCallback event;
    void *eventContext;
};

struct Connection {
    // Serialises connect and disconnect, which join the unit's thread; so it
    // is never taken on that thread (a callback there needs only `data`).
    std::mutex lifecycle;
    std::mutex data; // everything below
    WidI_ReceiveCallback receive = nullptr;
    void *receiveContext = nullptr;
    WidI_EventCallback event = nullptr;
    void *eventContext = nullptr;
    bool hasTarget = false;
    SimUnit::Address target{}; // most significant byte first, as SimUnit keeps it
    unsigned char channel = 0;
    std::shared_ptr<SimUnit> unit; // while linked (also after the link stopped, until released)
    std::shared_ptr<Link> link;
};

struct Shim {
    std::mutex lock; // everything below
    bool unitsMade = false;
    std::vector<UnitEntry> units;
    std::map<const void *, std::shared_ptr<Stack>> stacks;
    std::map<const void *, std::shared_ptr<Connection>> connections;
    std::map<const SimUnit *, const Connection *> links; // one link per unit
};

// Never destroyed: a unit's thread may still deliver while the process ends,
// and a DLL must not join threads while it is being unloaded.
Shim &State() {
    static Shim *shim = new Shim();
    return *shim;
}

// The link whose callback runs on this thread, if any.
thread_local const Link *t_insideCallback = nullptr;

class CallbackScope {
  public:
    explicit CallbackScope(const Link *link) : m_saved(t_insideCallback) { t_insideCallback = link; }
    ~CallbackScope() { t_insideCallback = m_saved; }
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

  private:
    const Link *m_saved;
};

bool InsideOwnCallback(const Connection &c) {
    return t_insideCallback != nullptr && t_insideCallback->owner == &c;
}

std::vector<std::string> SplitSerials(const char *text) {
    std::vector<std::string> serials;
    if (text == nullptr)
        return serials;
    const std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(',', start);
        if (end == std::string::npos)
            end = all.size();
        std::string serial = all.substr(start, end - start);
        const size_t first = serial.find_first_not_of(" \t");
        const size_t last = serial.find_last_not_of(" \t");
        serial = first == std::string::npos ? std::string() : serial.substr(first, last - first + 1);
        if (!serial.empty() && std::find(serials.begin(), serials.end(), serial) == serials.end())
            serials.push_back(serial);
        start = end + 1;
    }
    return serials;
}

// A decimal count of bytes per second; the default when unset or not a number.
uint32_t LinkRateFrom(const char *text) {
    if (text == nullptr || *text == '\0')
        return SimWidI::kDefaultLinkRate;
    char *end = nullptr;
    const unsigned long long rate = std::strtoull(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || rate > UINT32_MAX)
        return SimWidI::kDefaultLinkRate;
    return static_cast<uint32_t>(rate);
}

// "AFTER:DOWN" in seconds (decimals allowed), both 0 or more; false when
// unset or not of that form.
bool LinkDropFrom(const char *text, std::chrono::milliseconds &after, std::chrono::milliseconds &down) {
    if (text == nullptr)
        return false;
    double seconds[2] = {};
    const char *p = text;
    for (int i = 0; i < 2; ++i) {
        char *end = nullptr;
        seconds[i] = std::strtod(p, &end);
        const char expected = i == 0 ? ':' : '\0';
        if (end == p || *end != expected || !(seconds[i] >= 0) || seconds[i] > 1e6 ||
            std::isspace(static_cast<unsigned char>(*p)))
            return false;
        p = end + 1;
    }
    after = std::chrono::milliseconds(std::llround(seconds[0] * 1000));
    down = std::chrono::milliseconds(std::llround(seconds[1] * 1000));
    return true;
}

void MakeUnitsLocked(Shim &shim) {
    if (shim.unitsMade)
        return;
    shim.unitsMade = true;
    std::vector<std::string> serials = SplitSerials(std::getenv("ZEL_WIDI_SIM_UNITS"));
    if (serials.empty())
        serials = SplitSerials(kDefaultSerials);
    const std::vector<std::string> noService = SplitSerials(std::getenv("ZEL_WIDI_SIM_NO_SERVICE"));
    const uint32_t linkRate = LinkRateFrom(std::getenv("ZEL_WIDI_SIM_LINK_RATE"));
    std::chrono::milliseconds dropAfter{}, dropDown{};
    const bool drops = LinkDropFrom(std::getenv("ZEL_WIDI_SIM_LINK_DROP"), dropAfter, dropDown);
    for (const std::string &serial : serials) {
        const bool service = std::find(noService.begin(), noService.end(), serial) == noService.end();
        auto unit = std::make_shared<SimUnit>(serial);
        unit->SetLinkRate(linkRate);
        if (drops)
            unit->DropLinkAfter(dropAfter, dropDown);
        shim.units.push_back(UnitEntry{std::move(unit), service});
    }
}

std::vector<UnitEntry> UnitEntries() {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    MakeUnitsLocked(shim);
    return shim.units;
}

// The shim's addresses run least significant byte first; SimUnit's the other way.
SimUnit::Address FromWire(const unsigned char *address) {
    SimUnit::Address out{};
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = address[out.size() - 1 - i];
    return out;
}

// The listed unit with this address, or an empty entry.
UnitEntry FindUnit(const SimUnit::Address &address) {
    for (const UnitEntry &entry : UnitEntries())
        if (entry.unit->BluetoothAddress() == address)
            return entry;
    return UnitEntry{nullptr, false};
}

Record MakeRecord(const SimUnit &unit) {
    Record record{};
    const SimUnit::Address &address = unit.BluetoothAddress();
    for (size_t i = 0; i < address.size(); ++i)
        record[SimWidI::kRecordAddress + i] = address[address.size() - 1 - i];
    const std::string name = unit.Name();
    const size_t length = std::min(name.size(), record.size() - SimWidI::kRecordName - 1);
    std::memcpy(record.data() + SimWidI::kRecordName, name.data(), length); // the rest stays zero
    return record;
}

template <typename T>
std::shared_ptr<T> Find(std::map<const void *, std::shared_ptr<T>> Shim::*table, const void *handle) {
    if (handle == nullptr)
        return nullptr;
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    auto found = (shim.*table).find(handle);
    return found != (shim.*table).end() ? found->second : nullptr;
}

std::shared_ptr<Stack> FindStack(const void *handle) {
    return Find(&Shim::stacks, handle);
}

std::shared_ptr<Connection> FindConnection(const void *handle) {
    return Find(&Shim::connections, handle);
}

bool ClaimUnit(const SimUnit *unit, const Connection *holder) {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    auto found = shim.links.find(unit);
    if (found != shim.links.end() && found->second != holder)
        return false;
    shim.links[unit] = holder;
    return true;
}

void ReleaseUnit(const SimUnit *unit, const Connection *holder) {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    auto found = shim.links.find(unit);
    if (found != shim.links.end() && found->second == holder)
        shim.links.erase(found);
}

void Notify(const std::shared_ptr<Link> &link, int event) {
    if (link && link->event != nullptr)
        link->event(link->eventContext, event);
}

// Ends the link of c and releases its unit, joining the unit's delivery thread
// first so that no callback runs afterwards. Lifecycle lock held; not on that
// thread. Returns the link that was ended, if any.
std::shared_ptr<Link> Unlink(Connection &c) {
    std::shared_ptr<SimUnit> unit;
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> lock(c.data);
        unit = std::move(c.unit);
        link = std::move(c.link);
    }
    if (!unit)
        return nullptr;
    // Without c.data held: a callback running meanwhile may still write.
    unit->Disconnect();
    unit->SetDeliver(nullptr);
    unit->SetLinkClosed(nullptr);
    ReleaseUnit(unit.get(), &c);
    return link;
}

// From inside one of c's own callbacks, on the unit's delivery thread: that
// thread cannot be joined here, so the link is only stopped (nothing more is
// delivered after the running callback). Unless `release`, the unit stays
// with c until the next Unlink joins the thread and releases it.
void StopFromCallback(Connection &c, bool release) {
    std::lock_guard<std::mutex> lock(c.data);
    if (!c.unit)
        return;
    c.unit->Disconnect(); // stops only: the caller runs on its delivery thread
    if (!release)
        return;
    c.unit->SetDeliver(nullptr);
    c.unit->SetLinkClosed(nullptr);
    ReleaseUnit(c.unit.get(), &c);
    c.unit.reset();
    c.link.reset();
}

// Links c to its target; null when refused. Lifecycle lock held, no link.
std::shared_ptr<Link> MakeLink(Connection &c) {
    auto link = std::make_shared<Link>();
    link->owner = &c;
    SimUnit::Address target{};
    unsigned char channel = 0;
    {
        std::lock_guard<std::mutex> lock(c.data);
        if (!c.hasTarget)
            return nullptr;
        target = c.target;
        channel = c.channel;
        link->receive = c.receive;
        link->receiveContext = c.receiveContext;
        link->event = c.event;
        link->eventContext = c.eventContext;
    }
    const UnitEntry entry = FindUnit(target);
    const std::shared_ptr<SimUnit> unit = entry.unit;
    if (!unit || !entry.service || channel != SimWidI::kChannel || !ClaimUnit(unit.get(), &c))
        return nullptr;
    bool installed = false;
    bool linked = false;
    try {
        // A unit a test drives directly, outside the shim, is not taken over.
        if (!unit->IsConnected()) {
            installed = true;
            unit->SetDeliver([link](const uint8_t *bytes, size_t count) {
                if (link->receive == nullptr)
                    return;
                CallbackScope scope(link.get());
                link->receive(bytes, static_cast<int>(count), link->receiveContext);
            });
            unit->SetLinkClosed([link] {
                CallbackScope scope(link.get());
                if (link->event != nullptr)
                    link->event(link->eventContext, SimWidI::kEventLinkLost);
            });
            linked = unit->Connect();
        }
    } catch (...) {
        linked = false;
    }
    if (!linked) {
        if (installed) {
            unit->SetDeliver(nullptr);
            unit->SetLinkClosed(nullptr);
        }
        ReleaseUnit(unit.get(), &c);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(c.data);
    c.unit = unit;
    c.link = link;
    return link;
}

int Connect(Connection &c) {
    if (InsideOwnCallback(c))
        return -1;
    std::shared_ptr<Link> ended;
    std::shared_ptr<Link> made;
    {
        std::lock_guard<std::mutex> life(c.lifecycle);
        ended = Unlink(c); // a second connect starts a fresh link
        made = MakeLink(c);
    }
    Notify(ended, SimWidI::kEventDisconnected);
    Notify(made, SimWidI::kEventConnected);
    return made ? 0 : -1;
}

void Disconnect(Connection &c) {
    if (InsideOwnCallback(c)) {
        StopFromCallback(c, false);
        return;
    }
    std::shared_ptr<Link> ended;
    {
        std::lock_guard<std::mutex> life(c.lifecycle);
        ended = Unlink(c);
    }
    Notify(ended, SimWidI::kEventDisconnected);
}

// Nothing may throw across the C interface: a failure (a thread or an
// allocation refused) becomes the function's failure value.
template <typename R, typename F> R Guarded(R failure, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

template <typename F> void Guarded(F &&body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

bool ServiceFound(const void *handle) {
    const std::shared_ptr<Stack> stack = FindStack(handle);
    if (!stack)
        return false;
    std::lock_guard<std::mutex> lock(stack->lock);
    return stack->serviceFound;
}

} // namespace

// ---------------------------------------------------------------- C++ API

namespace SimWidI {

void SetUnits(std::vector<std::shared_ptr<SimUnit>> units) {
    std::vector<UnitEntry> entries;
    for (std::shared_ptr<SimUnit> &unit : units)
        if (unit)
            entries.push_back(UnitEntry{std::move(unit), true});
    Shim &shim = State();
    {
        std::lock_guard<std::mutex> lock(shim.lock);
        shim.unitsMade = true;
        shim.units.swap(entries);
    }
    // The old set goes without the lock held: a unit destroyed here joins its thread.
}

std::vector<std::shared_ptr<SimUnit>> Units() {
    std::vector<std::shared_ptr<SimUnit>> units;
    for (const UnitEntry &entry : UnitEntries())
        units.push_back(entry.unit);
    return units;
}

void ResetUnits() {
    std::vector<UnitEntry> old;
    Shim &shim = State();
    {
        std::lock_guard<std::mutex> lock(shim.lock);
        shim.unitsMade = false;
        shim.units.swap(old);
    }
}

void SetServiceFound(const SimUnit *unit, bool found) {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    for (UnitEntry &entry : shim.units)
        if (entry.unit.get() == unit)
            entry.service = found;
}

size_t OpenStacks() {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    return shim.stacks.size();
}

size_t LiveConnections() {
    Shim &shim = State();
    std::lock_guard<std::mutex> lock(shim.lock);
    return shim.connections.size();
}

} // namespace SimWidI
} // namespace sim

// ---------------------------------------------------------------- C interface

using sim::Connection;
using sim::Guarded;
using sim::Stack;

extern "C" {

WidI_Stack WidI_OpenStack(void) {
    return Guarded<WidI_Stack>(nullptr, [] {
        auto stack = std::make_shared<Stack>();
        sim::Shim &shim = sim::State();
        std::lock_guard<std::mutex> lock(shim.lock);
        shim.stacks[stack.get()] = stack;
        return static_cast<WidI_Stack>(stack.get());
    });
}

void WidI_CloseStack(WidI_Stack handle) {
    Guarded([handle] {
        std::shared_ptr<Stack> stack; // freed after the lock
        sim::Shim &shim = sim::State();
        std::lock_guard<std::mutex> lock(shim.lock);
        auto found = shim.stacks.find(handle);
        if (found == shim.stacks.end())
            return;
        stack = std::move(found->second);
        shim.stacks.erase(found);
    });
}

void WidI_StartInquiry(WidI_Stack handle) {
    Guarded([handle] {
        const std::shared_ptr<Stack> stack = sim::FindStack(handle);
        if (!stack)
            return;
        std::vector<sim::Record> found;
        for (const sim::UnitEntry &entry : sim::UnitEntries())
            if (entry.unit->InReach())
                found.push_back(sim::MakeRecord(*entry.unit));
        std::lock_guard<std::mutex> lock(stack->lock);
        stack->current = stack->records.size();
        stack->records.insert(stack->records.end(), found.begin(), found.end());
        stack->inquired = true;
    });
}

void WidI_StopInquiry(WidI_Stack) {
    // The simulated inquiry is complete when it starts.
}

void WidI_StartServiceDiscovery(WidI_Stack handle, const unsigned char address[6]) {
    Guarded([handle, address] {
        const std::shared_ptr<Stack> stack = sim::FindStack(handle);
        if (!stack)
            return;
        bool found = false;
        if (address != nullptr) {
            const sim::UnitEntry entry = sim::FindUnit(sim::FromWire(address));
            found = entry.unit && entry.service && entry.unit->InReach();
        }
        std::lock_guard<std::mutex> lock(stack->lock);
        stack->serviceFound = found;
    });
}

int WidI_GetDeviceCount(WidI_Stack handle) {
    return Guarded(0, [handle] {
        const std::shared_ptr<Stack> stack = sim::FindStack(handle);
        if (!stack)
            return 0;
        std::lock_guard<std::mutex> lock(stack->lock);
        return stack->inquired ? static_cast<int>(stack->records.size() - stack->current) : 0;
    });
}

const unsigned char *WidI_GetDeviceRecord(WidI_Stack handle, int index) {
    return Guarded<const unsigned char *>(nullptr, [handle, index]() -> const unsigned char * {
        const std::shared_ptr<Stack> stack = sim::FindStack(handle);
        if (!stack || index < 0)
            return nullptr;
        std::lock_guard<std::mutex> lock(stack->lock);
        if (!stack->inquired || static_cast<size_t>(index) >= stack->records.size() - stack->current)
            return nullptr;
        return stack->records[stack->current + static_cast<size_t>(index)].data();
    });
}

WidI_Connection WidI_CreateConnection(void) {
    return Guarded<WidI_Connection>(nullptr, [] {
        auto connection = std::make_shared<Connection>();
        sim::Shim &shim = sim::State();
        std::lock_guard<std::mutex> lock(shim.lock);
        shim.connections[connection.get()] = connection;
        return static_cast<WidI_Connection>(connection.get());
    });
}

void WidI_SetReceiveCallback(WidI_Connection handle, WidI_ReceiveCallback cb, void *context) {
    Guarded([=] {
        const std::shared_ptr<Connection> c = sim::FindConnection(handle);
        if (!c)
            return;
        std::lock_guard<std::mutex> lock(c->data);
        c->receive = cb;
        c->receiveContext = context;
    });
}

void WidI_DestroyConnection(WidI_Connection handle) {
    Guarded([handle] {
        std::shared_ptr<Connection> c;
        {
            sim::Shim &shim = sim::State();
            std::lock_guard<std::mutex> lock(shim.lock);
            auto found = shim.connections.find(handle);
            if (found == shim.connections.end())
                return;
            c = std::move(found->second);
            shim.connections.erase(found);
        }
        if (sim::InsideOwnCallback(*c))
            sim::StopFromCallback(*c, true);
        else
            sim::Disconnect(*c);
    });
}

int WidI_Connect(WidI_Connection handle) {
    return Guarded(-1, [handle] {
        const std::shared_ptr<Connection> c = sim::FindConnection(handle);
        return c ? sim::Connect(*c) : -1;
    });
}

void WidI_Disconnect(WidI_Connection handle) {
    Guarded([handle] {
        if (const std::shared_ptr<Connection> c = sim::FindConnection(handle))
            sim::Disconnect(*c);
    });
}

int WidI_Write(WidI_Connection handle, const unsigned char *bytes, int *count) {
    if (count == nullptr)
        return -1;
    const bool sent = Guarded(false, [=] {
        std::shared_ptr<sim::SimUnit> unit;
        if (const std::shared_ptr<Connection> c = sim::FindConnection(handle)) {
            std::lock_guard<std::mutex> lock(c->data);
            unit = c->unit;
        }
        const bool valid = *count >= 0 && (bytes != nullptr || *count == 0);
        // Refused by the unit once its link is down, also when it closed it itself.
        return unit && valid && unit->Receive(bytes, static_cast<size_t>(*count));
    });
    if (sent)
        return 0;
    *count = 0;
    return -1;
}

int WidI_ContinueDiscovery(WidI_Stack) {
    return 0; // the simulated service search has nothing left to do
}

unsigned char WidI_GetDiscoveredChannel(WidI_Stack handle) {
    return Guarded(false, [handle] { return sim::ServiceFound(handle); }) ? sim::SimWidI::kChannel : 0;
}

void WidI_SetConnectionTarget(WidI_Connection handle, const unsigned char address[6], unsigned char channel) {
    Guarded([=] {
        const std::shared_ptr<Connection> c = sim::FindConnection(handle);
        if (!c)
            return;
        std::lock_guard<std::mutex> lock(c->data);
        c->hasTarget = address != nullptr;
        c->target = address != nullptr ? sim::FromWire(address) : sim::SimUnit::Address{};
        c->channel = channel;
    });
}

int WidI_IsServiceFound(WidI_Stack handle) {
    return Guarded(false, [handle] { return sim::ServiceFound(handle); }) ? 1 : 0;
}

void WidI_SetEventCallback(WidI_Connection handle, WidI_EventCallback cb, void *context) {
    Guarded([=] {
        const std::shared_ptr<Connection> c = sim::FindConnection(handle);
        if (!c)
            return;
        std::lock_guard<std::mutex> lock(c->data);
        c->event = cb;
        c->eventContext = context;
    });
}

} // extern "C"
