#include "SimStack.h"

#include "BluetoothStacks.h"
#include "GBluetoothDevice.h"
#include "GUtils.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

static const wchar_t kTraceModule[] = L"SimStack.cpp";

namespace sim {

// ---------------------------------------------------------------- unit set

namespace {

constexpr char kRecordTag[4] = {'S', 'I', 'M', 'U'};

constexpr int32_t kFailed = -1;
// The error numbers a socket send reports for the same failures.
constexpr int kErrorNotConnected = 10057;
constexpr int kErrorInvalidArgument = 10022;

struct UnitSet {
    std::mutex lock;
    std::vector<std::shared_ptr<SimUnit>> listed;
    // Units with a link, and the connection that holds it: one link per unit.
    std::map<const SimUnit *, const void *> holders;
};

UnitSet &Set() {
    static auto *set = new UnitSet(); // outlives static destructors
    return *set;
}

bool ClaimUnit(const SimUnit *unit, const void *holder) {
    UnitSet &set = Set();
    std::lock_guard<std::mutex> lock(set.lock);
    auto found = set.holders.find(unit);
    if (found != set.holders.end() && found->second != holder)
        return false;
    set.holders[unit] = holder;
    return true;
}

void ReleaseUnit(const SimUnit *unit, const void *holder) {
    UnitSet &set = Set();
    std::lock_guard<std::mutex> lock(set.lock);
    auto found = set.holders.find(unit);
    if (found != set.holders.end() && found->second == holder)
        set.holders.erase(found);
}

void EnumerateSimulatedPorts(std::vector<GPortRef> &ports) {
    ports.clear();
    for (const std::shared_ptr<SimUnit> &unit : SimStack::Units())
        if (unit->InReach() && ::IsUnitName(WidenText(unit->Name())))
            ports.push_back(SimStack::PortOf(*unit));
}

IBTDevice *CreateSimulatedDevice(GBluetoothDevice *owner) {
    return new (std::nothrow) SimBTDeviceImp(owner);
}

const StackBackend kBackend = {&EnumerateSimulatedPorts, &CreateSimulatedDevice};

} // namespace

namespace SimStack {

const StackBackend &Backend() {
    return kBackend;
}

void AddUnit(std::shared_ptr<SimUnit> unit) {
    if (!unit)
        return;
    UnitSet &set = Set();
    std::lock_guard<std::mutex> lock(set.lock);
    if (std::find(set.listed.begin(), set.listed.end(), unit) == set.listed.end())
        set.listed.push_back(std::move(unit));
}

void RemoveUnit(const SimUnit *unit) {
    UnitSet &set = Set();
    std::lock_guard<std::mutex> lock(set.lock);
    set.listed.erase(std::remove_if(set.listed.begin(), set.listed.end(),
                                    [unit](const std::shared_ptr<SimUnit> &u) { return u.get() == unit; }),
                     set.listed.end());
}

std::vector<std::shared_ptr<SimUnit>> Units() {
    UnitSet &set = Set();
    std::lock_guard<std::mutex> lock(set.lock);
    return set.listed;
}

std::shared_ptr<SimUnit> FindUnit(const std::wstring &location) {
    for (const std::shared_ptr<SimUnit> &unit : Units())
        if (AddressText(unit->BluetoothAddress()) == location)
            return unit;
    return nullptr;
}

std::wstring AddressText(const SimUnit::Address &address) {
    const uint8_t bytes[6] = {address[0], address[1], address[2], address[3], address[4], address[5]};
    return ::AddressText(bytes);
}

GPortRef PortOf(const SimUnit &unit) {
    SimPortRecord record{};
    std::memcpy(record.tag, kRecordTag, sizeof record.tag);
    std::copy(unit.BluetoothAddress().begin(), unit.BluetoothAddress().end(), record.address);
    return UnitPort(WidenText(unit.Name()), AddressText(unit.BluetoothAddress()),
                    reinterpret_cast<const uint8_t *>(&record), static_cast<int32_t>(sizeof record));
}

} // namespace SimStack

// ---------------------------------------------------------------- device

namespace {

// What the unit's threads reach: fixed at connect, shared with the unit's
// callbacks so that it outlives the last of them.
struct Link {
    ReceiveCallback callback;
    void *context;
    std::atomic<bool> closedByUnit{false};
};

} // namespace

struct SimBTDeviceImp::Connection {
    std::shared_ptr<SimUnit> unit; // while connected
    std::shared_ptr<Link> link;
};

SimBTDeviceImp::SimBTDeviceImp(GBluetoothDevice *owner) : m_owner(owner) {}

SimBTDeviceImp::~SimBTDeviceImp() {
    if (m_owner != nullptr && m_owner->m_isOpen)
        m_owner->Close();
    OSUninitialize();
}

bool SimBTDeviceImp::OSInitialize() {
    if (m_connection == nullptr)
        m_connection = new (std::nothrow) Connection();
    return true;
}

void SimBTDeviceImp::OSUninitialize() {
    if (m_connection == nullptr)
        return;
    Disconnect();
    delete m_connection;
    m_connection = nullptr;
}

int32_t SimBTDeviceImp::Open(void *) {
    if (m_connection == nullptr || m_owner == nullptr)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    // A second Open starts a fresh link.
    Disconnect();
    int32_t result = kFailed;
    std::shared_ptr<SimUnit> unit = SimStack::FindUnit(m_owner->m_portRef.GetLocation());
    // Like the Microsoft stack, a link without a receiver is refused.
    if (unit && m_owner->m_receiveCallback != nullptr && m_owner->m_receiveContext != nullptr &&
        ClaimUnit(unit.get(), m_connection)) {
        auto link = std::make_shared<Link>();
        link->callback = m_owner->m_receiveCallback;
        link->context = m_owner->m_receiveContext;
        unit->SetLinkClosed([link] { link->closedByUnit = true; });
        unit->SetDeliver([link](const uint8_t *bytes, size_t count) {
            link->callback(bytes, static_cast<int32_t>(count), link->context);
        });
        if (unit->Connect()) {
            m_connection->unit = unit;
            m_connection->link = link;
            result = 0;
        } else {
            unit->SetDeliver(nullptr);
            unit->SetLinkClosed(nullptr);
            ReleaseUnit(unit.get(), m_connection);
        }
    }
    m_owner->ReleasePortLock();
    if (result != 0)
        OSTREL_TRACE(L"Error opening Bluetooth device with id " << m_owner->m_portRef.GetDeviceName());
    return result;
}

int32_t SimBTDeviceImp::Close() {
    if (m_connection == nullptr || m_owner == nullptr)
        return kFailed;
    if (!m_owner->TakePortLock())
        return kFailed;
    Disconnect();
    m_owner->ReleasePortLock();
    return 0;
}

void SimBTDeviceImp::Disconnect() {
    if (m_connection == nullptr || !m_connection->unit)
        return;
    const std::shared_ptr<SimUnit> unit = std::move(m_connection->unit);
    // Joins the unit's delivery thread: no callback runs after this.
    unit->Disconnect();
    unit->SetDeliver(nullptr);
    unit->SetLinkClosed(nullptr);
    ReleaseUnit(unit.get(), m_connection);
    m_connection->link.reset();
}

int32_t SimBTDeviceImp::ClearIO() {
    return m_connection != nullptr ? 0 : kFailed;
}

int32_t SimBTDeviceImp::GetStatus() {
    return 0;
}

int32_t SimBTDeviceImp::Read(uint8_t *, int32_t *, int32_t) {
    return kFailed;
}

int32_t SimBTDeviceImp::Write(const uint8_t *bytes, int32_t *count) {
    if (m_connection == nullptr || count == nullptr)
        return kFailed;
    const bool linkUp = m_connection->unit && !m_connection->link->closedByUnit;
    const bool valid = *count >= 0 && (bytes != nullptr || *count == 0);
    if (linkUp && valid && m_connection->unit->Receive(bytes, static_cast<size_t>(*count)))
        return 0;
    OSTREL_TRACE(L"Send Failed" << (linkUp ? kErrorInvalidArgument : kErrorNotConnected));
    *count = 0;
    return kFailed;
}

// ---------------------------------------------------------------- scope

namespace {

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// 02 (locally administered), three bytes of the process id, a two-byte count.
SimUnit::Address FreshAddress() {
    static std::atomic<uint32_t> counter{0};
    const uint32_t pid = static_cast<uint32_t>(ProcessId());
    const uint32_t n = ++counter;
    return SimUnit::Address{0x02,
                            static_cast<uint8_t>(pid >> 16),
                            static_cast<uint8_t>(pid >> 8),
                            static_cast<uint8_t>(pid),
                            static_cast<uint8_t>(n >> 8),
                            static_cast<uint8_t>(n)};
}

} // namespace

SimStackScope::SimStackScope()
    : m_savedBackend(FindStackBackend(kStackSimulated)), m_savedStackType(BluetoothStackType.load()) {
    RegisterStackBackend(kStackSimulated, &SimStack::Backend());
    BluetoothStackType = kStackSimulated;
}

SimStackScope::~SimStackScope() {
    for (const std::shared_ptr<SimUnit> &unit : m_units)
        SimStack::RemoveUnit(unit.get());
    BluetoothStackType = m_savedStackType;
    RegisterStackBackend(kStackSimulated, m_savedBackend);
}

std::shared_ptr<SimUnit> SimStackScope::AddUnit(const std::string &serial) {
    return AddUnit(std::make_shared<SimUnit>(serial, FreshAddress()));
}

std::shared_ptr<SimUnit> SimStackScope::AddUnit(std::shared_ptr<SimUnit> unit) {
    if (!unit)
        return unit;
    SimStack::AddUnit(unit);
    m_units.push_back(unit);
    return unit;
}

} // namespace sim
