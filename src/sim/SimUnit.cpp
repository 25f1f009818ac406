#include "SimUnit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kCommandType = 0x40;
constexpr uint8_t kMeasurementType = 0x20;
constexpr uint8_t kResponseClass = 0x80;
constexpr uint8_t kInitResponseType = 0xA0 | 0x18;
constexpr uint8_t kFlagError = 0x04;
constexpr uint8_t kFlagFirst = 0x08;
constexpr uint8_t kFlagLast = 0x10;
constexpr size_t kHeaderSize = 4;
constexpr size_t kResponseHeaderSize = 6;
constexpr size_t kMeasurementHeaderSize = 8;
constexpr size_t kInitResponseSize = 26;
constexpr size_t kMaxBlob = 255;
constexpr size_t kMaxSamplesPerBlob = (kMaxBlob - kMeasurementHeaderSize) / 2; // samples of all channels
constexpr size_t kDataSheetSize = 128;
constexpr int kMaxStreamCatchUpBlobs = 64; // per wake, so that delivery is not starved
constexpr size_t kCompactAbove = 65536;
constexpr size_t kInitPatternSize = 20; // the init command's parameters
// A link paced at its rate may catch up on this much time that a late wake
// lost, and no more: it never bursts beyond its rate for longer.
constexpr std::chrono::milliseconds kLinkCatchUp{2};

// Sum of bytes 0, 1, 2 and 4..L-1 (L = byte 1), low 8 bits; byte 3 excluded.
uint8_t BlobChecksum(const uint8_t *blob) {
    unsigned sum = blob[0] + blob[1] + blob[2];
    const size_t length = blob[1];
    for (size_t i = kHeaderSize; i < length; ++i)
        sum += blob[i];
    return static_cast<uint8_t>(sum);
}

uint32_t ReadLE(const uint8_t *p, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
}

SimUnit::Address AddressFromSerial(const std::string &serial) {
    uint32_t h = 2166136261u; // FNV-1a
    for (char c : serial)
        h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    return {0x00, 0x07, 0x80, static_cast<uint8_t>(h >> 16), static_cast<uint8_t>(h >> 8), static_cast<uint8_t>(h)};
}

// The init command carries exactly the pairs (0x05 + k, 0x4A - k), k = 0..9.
bool IsInitPattern(const uint8_t *params, size_t count) {
    if (count != kInitPatternSize)
        return false;
    for (size_t k = 0; k < kInitPatternSize / 2; ++k)
        if (params[2 * k] != 0x05 + k || params[2 * k + 1] != 0x4A - k)
            return false;
    return true;
}

int CountChannels(uint8_t mask) {
    int n = 0;
    for (int bit = 0; bit < 8; ++bit)
        n += (mask >> bit) & 1;
    return n;
}

} // namespace

// Init (0x1A) is handled before this table: its answer has a class of its own.
const SimUnit::CommandEntry SimUnit::kCommands[] = {
    {kCmdStart, &SimUnit::OnStart},         {kCmdStop, &SimUnit::OnStop},       {kCmdSetPeriod, &SimUnit::OnSetPeriod},
    {kCmdGetPeriod, &SimUnit::OnGetPeriod}, {kCmdWriteNV, &SimUnit::OnWriteNV}, {kCmdReadNV, &SimUnit::OnReadNV},
};

SimUnit::SimUnit(std::string serial) : SimUnit(serial, AddressFromSerial(serial)) {}

SimUnit::SimUnit(std::string serial, const Address &address)
    : m_serial(std::move(serial)), m_address(address), m_memory(kMemorySize) {
    for (size_t a = 0; a < kMemorySize; ++a)
        m_memory[a] = InitialMemoryByte(static_cast<uint32_t>(a));
    for (int channel = SimDataSheet::kFirstChannel; channel <= SimDataSheet::kLastChannel; ++channel)
        m_dataSheets[static_cast<size_t>(channel)] = SimDataSheet::Default(channel);
    m_ready.reserve(4096);
}

SimUnit::~SimUnit() {
    Disconnect();
}

std::string SimUnit::AddressText() const {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m_address[0], m_address[1], m_address[2],
                  m_address[3], m_address[4], m_address[5]);
    return text;
}

uint8_t SimUnit::InitialMemoryByte(uint32_t address) {
    // Not periodic in 256, so that an address off by a multiple of 256 shows.
    return static_cast<uint8_t>(address * 13u + (address >> 8) * 7u + 0x5Au);
}

uint16_t SimUnit::SampleValue(int channel, uint64_t index) {
    if (channel < 0 || channel > 7)
        return 0;
    if (channel == 1 || channel == 2) {
        const uint64_t phase = index % 1000;
        const double t = static_cast<double>(phase < 500 ? phase : 1000 - phase);
        const double force = (t - 250.0) / 5.0;
        const double volts = channel == 1 ? (force + 10.0) / 4.0 : (force + 100.0) / 40.0;
        return static_cast<uint16_t>(std::clamp(std::lround(volts * 819.2), 0L, 4095L));
    }
    const uint64_t c = static_cast<uint64_t>(channel);
    return static_cast<uint16_t>((512 * c + (c + 1) * index) % 4096);
}

// ---- transport ----

void SimUnit::SetDeliver(DeliverFn deliver) {
    auto shared = std::make_shared<const DeliverFn>(std::move(deliver));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deliver = std::move(shared);
}

void SimUnit::SetLinkClosed(LinkClosedFn closed) {
    auto shared = std::make_shared<const LinkClosedFn>(std::move(closed));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_linkClosed = std::move(shared);
}

bool SimUnit::OnDeliveryThreadLocked() const {
    return m_deliveryThreadId == std::this_thread::get_id();
}

bool SimUnit::Connect() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (OnDeliveryThreadLocked())
            return false;
    }
    std::lock_guard<std::mutex> life(m_lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connected)
            return true;
        if (Clock::now() < m_awayUntil)
            return false; // out of reach
    }
    if (m_thread.joinable()) // stopped by the unit or from inside a callback
        m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dropAt = Clock::now() + m_dropAfter;
        m_stop = false;
        m_connected = true;
        m_closedByUnit = false;
        m_closePending = false;
        m_rxCount = 0;
        StopStreamingLocked();
        ClearOutputLocked();
    }
    m_thread = std::thread(&SimUnit::DeliveryLoop, this);
    return true;
}

void SimUnit::Disconnect() {
    uint32_t delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (OnDeliveryThreadLocked()) {
            StopLinkLocked(); // joined later, by Connect, Disconnect or the destructor
            return;
        }
        delayMs = m_connected ? m_disconnectDelayMs : 0;
    }
    if (delayMs != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    // The stop is set under the lifecycle mutex, so that a Connect running
    // meanwhile cannot undo it before the join.
    std::lock_guard<std::mutex> life(m_lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        StopLinkLocked();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool SimUnit::IsConnected() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

bool SimUnit::Receive(const uint8_t *bytes, size_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connected)
        return false;
    if (bytes != nullptr)
        AcceptBytesLocked(bytes, count);
    m_wake.notify_one();
    return true;
}

// ---- receive side ----

void SimUnit::AcceptBytesLocked(const uint8_t *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        m_rx[m_rxCount++] = bytes[i];
        // A length byte below the header size still takes a whole header.
        if (m_rxCount >= kHeaderSize && m_rxCount >= m_rx[1]) {
            HandleBlobLocked(m_rx.data(), m_rxCount);
            m_rxCount = 0;
        }
    }
}

void SimUnit::HandleBlobLocked(const uint8_t *blob, size_t length) {
    m_lastCommand.assign(blob, blob + length);
    if (blob[0] != kCommandType || length < kHeaderSize + 1) {
        ++m_rejected;
        return;
    }
    if (BlobChecksum(blob) != blob[3]) {
        ++m_badChecksums;
        ++m_rejected;
        return;
    }
    const uint8_t cmd = blob[4];
    ++m_commandCounts[cmd];
    ExecuteLocked(cmd, blob[2], blob + kHeaderSize + 1, length - kHeaderSize - 1);
}

void SimUnit::ExecuteLocked(uint8_t cmd, uint8_t signature, const uint8_t *params, size_t count) {
    if (m_errorNext) {
        m_errorNext = false;
        SendReplyLocked(cmd, signature, Fail(SimError::Injected));
        return;
    }
    if (cmd == kCmdInit) {
        if (!IsInitPattern(params, count)) {
            ++m_refusedInits;
            SendReplyLocked(cmd, signature, Fail(SimError::BadParameters));
            return;
        }
        StopStreamingLocked();
        SendInitResponseLocked(signature);
        return;
    }
    for (const CommandEntry &entry : kCommands) {
        if (entry.cmd == cmd) {
            SendReplyLocked(cmd, signature, (this->*entry.handler)(params, count));
            return;
        }
    }
    SendReplyLocked(cmd, signature, Fail(SimError::UnknownCommand));
}

SimUnit::Reply SimUnit::OnStart(const uint8_t *, size_t) {
    if (!m_streaming) {
        m_streaming = true;
        m_sampleIndex = 0;
        m_nextSampleDue = Clock::now() + std::chrono::milliseconds(m_periodTicks);
    }
    return Ok();
}

SimUnit::Reply SimUnit::OnStop(const uint8_t *, size_t) {
    StopStreamingLocked();
    return Ok();
}

SimUnit::Reply SimUnit::OnSetPeriod(const uint8_t *params, size_t count) {
    if (count != 4)
        return Fail(SimError::BadParameters);
    const uint32_t ticks = ReadLE(params, 4);
    if (ticks == 0 || ticks > 65535)
        return Fail(SimError::BadParameters);
    m_periodTicks = ticks;
    if (m_streaming) // a shorter period takes effect at once
        m_nextSampleDue = std::min(m_nextSampleDue, Clock::now() + std::chrono::milliseconds(ticks));
    return Ok();
}

SimUnit::Reply SimUnit::OnGetPeriod(const uint8_t *, size_t) {
    const uint32_t t = m_periodTicks;
    return Ok({static_cast<uint8_t>(t), static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t >> 16),
               static_cast<uint8_t>(t >> 24)});
}

// Parameters: block, address (4), n, then exactly n data bytes. Only the unit's
// own memory is writable: data sheets are written at the factory.
SimUnit::Reply SimUnit::OnWriteNV(const uint8_t *params, size_t count) {
    if (count < 6 || params[5] > kMaxWriteChunk || count != 6u + params[5])
        return Fail(SimError::BadParameters);
    if (params[0] != kOwnMemoryBlock)
        return Fail(SimError::BadBlock);
    const uint32_t address = ReadLE(params + 1, 4);
    const size_t n = params[5];
    if (address > kMemorySize || n > kMemorySize - address)
        return Fail(SimError::BadAddress);
    std::memcpy(&m_memory[address], params + 6, n);
    return Ok();
}

// Parameters: block, address (4), count (2).
SimUnit::Reply SimUnit::OnReadNV(const uint8_t *params, size_t count) {
    if (count != 7)
        return Fail(SimError::BadParameters);
    const uint8_t block = params[0];
    const uint8_t *memory = nullptr;
    size_t size = 0;
    if (block == kOwnMemoryBlock) {
        memory = m_memory.data();
        size = kMemorySize;
    } else if (block >= SimDataSheet::kFirstChannel && block <= SimDataSheet::kLastChannel) {
        memory = m_dataSheets[block].data();
        size = kDataSheetSize;
    } else {
        return Fail(SimError::BadBlock);
    }
    const uint32_t address = ReadLE(params + 1, 4);
    const size_t n = ReadLE(params + 5, 2);
    if (address > size || n > size - address)
        return Fail(SimError::BadAddress);
    return Ok(std::vector<uint8_t>(memory + address, memory + address + n));
}

// ---- send side ----

bool SimUnit::ResponseDroppedLocked(uint8_t cmd) {
    if (m_dropNext) {
        m_dropNext = false;
        return true;
    }
    return m_dropCmd[cmd];
}

SimUnit::Clock::time_point SimUnit::ResponseDueLocked() {
    const uint32_t ms = m_delayNextMs != 0 ? m_delayNextMs : m_delayAllMs;
    m_delayNextMs = 0;
    if (ms == 0)
        return Clock::time_point{};
    return Clock::now() + std::chrono::milliseconds(ms);
}

void SimUnit::SendInitResponseLocked(uint8_t signature) {
    if (ResponseDroppedLocked(kCmdInit))
        return;
    const Clock::time_point due = ResponseDueLocked();
    SendInjectedLocked(kCmdInit, signature, due);
    if (!m_garbageBeforeInit.empty())
        EnqueueLocked(m_garbageBeforeInit.data(), m_garbageBeforeInit.size(), due);
    uint8_t blob[kInitResponseSize] = {kInitResponseType, 0, 0, 0, kCmdInit, signature};
    for (size_t k = 0; k < 10; ++k) {
        blob[kResponseHeaderSize + 2 * k] = static_cast<uint8_t>(0x55 + k);
        blob[kResponseHeaderSize + 2 * k + 1] = static_cast<uint8_t>(0xAA - k);
    }
    SendBlobLocked(blob, sizeof blob, due);
}

void SimUnit::SendInjectedLocked(uint8_t cmd, uint8_t signature, Clock::time_point due) {
    if (!m_injectBlob)
        return;
    m_injectBlob = false;
    uint8_t blob[8] = {m_injectType, 0, 0, 0, cmd, signature, 0xEE, 0xEE};
    SendBlobLocked(blob, sizeof blob, due);
}

void SimUnit::SendReplyLocked(uint8_t cmd, uint8_t signature, const Reply &reply) {
    if (ResponseDroppedLocked(cmd))
        return;
    const Clock::time_point due = ResponseDueLocked();
    uint8_t blob[kMaxBlob] = {};
    SendInjectedLocked(cmd, signature, due);
    blob[4] = cmd;
    blob[5] = signature;
    if (!reply.ok) {
        blob[0] = kResponseClass | kFlagError;
        blob[6] = static_cast<uint8_t>(reply.error);
        SendBlobLocked(blob, kResponseHeaderSize + 1, due);
        return;
    }
    const size_t total = reply.payload.size();
    size_t pos = 0;
    do {
        const size_t n = std::min(kMaxPayloadPerBlob, total - pos);
        blob[0] =
            static_cast<uint8_t>(kResponseClass | (pos == 0 ? kFlagFirst : 0) | (pos + n == total ? kFlagLast : 0));
        if (n > 0)
            std::memcpy(blob + kResponseHeaderSize, reply.payload.data() + pos, n);
        SendBlobLocked(blob, kResponseHeaderSize + n, due);
        pos += n;
    } while (pos < total);
}

void SimUnit::SendBlobLocked(uint8_t *blob, size_t length, Clock::time_point due) {
    blob[1] = static_cast<uint8_t>(length);
    blob[2] = m_txCounter++;
    blob[3] = BlobChecksum(blob);
    ++m_blobsSent;
    if (m_corruptBlobAt != 0 && m_blobsSent == m_corruptBlobAt) {
        blob[3] = static_cast<uint8_t>(blob[3] + 1);
        m_corruptBlobAt = 0;
    }
    EnqueueLocked(blob, length, due);
}

// A default time point means "now". Once anything waits in m_delayed, every
// later blob queues behind it, so the order on the wire is the order of sending.
void SimUnit::EnqueueLocked(const uint8_t *bytes, size_t count, Clock::time_point due) {
    if (m_delayed.empty() && due == Clock::time_point{}) {
        m_ready.insert(m_ready.end(), bytes, bytes + count);
        return;
    }
    m_delayed.push_back(Pending{std::vector<uint8_t>(bytes, bytes + count), due});
}

uint32_t SimUnit::MaxSamplesPerBlobLocked() const {
    const int n = CountChannels(m_streamMask);
    return static_cast<uint32_t>(kMaxSamplesPerBlob / static_cast<size_t>(n == 0 ? 1 : n));
}

void SimUnit::SendMeasurementLocked(uint32_t samples) {
    uint8_t blob[kMaxBlob] = {kMeasurementType};
    blob[4] = static_cast<uint8_t>(m_sampleIndex);
    blob[5] = static_cast<uint8_t>(m_sampleIndex >> 8);
    blob[6] = m_streamMask;
    blob[7] = static_cast<uint8_t>(samples);
    size_t pos = kMeasurementHeaderSize;
    for (uint32_t i = 0; i < samples; ++i) {
        for (int channel = 0; channel < 8; ++channel) {
            if ((m_streamMask >> channel & 1) == 0)
                continue;
            const uint16_t value = SampleValue(channel, m_sampleIndex + i);
            blob[pos++] = static_cast<uint8_t>(value);
            blob[pos++] = static_cast<uint8_t>(value >> 8);
        }
    }
    m_sampleIndex += samples;
    SendBlobLocked(blob, pos, Clock::time_point{});
}

void SimUnit::StopStreamingLocked() {
    m_streaming = false;
}

void SimUnit::StopLinkLocked() {
    m_stop = true;
    m_connected = false;
    m_closePending = false;
    m_rxCount = 0;
    StopStreamingLocked();
    ClearOutputLocked();
}

void SimUnit::ClearOutputLocked() {
    m_ready.clear();
    m_readyPos = 0;
    m_delayed.clear();
}

// ---- delivery thread ----

void SimUnit::ReleaseDueLocked(Clock::time_point now) {
    while (!m_delayed.empty() && m_delayed.front().due <= now) {
        const std::vector<uint8_t> &bytes = m_delayed.front().bytes;
        m_ready.insert(m_ready.end(), bytes.begin(), bytes.end());
        m_delayed.pop_front();
    }
}

void SimUnit::StreamDueLocked(Clock::time_point now) {
    if (!m_streaming)
        return;
    const auto period = std::chrono::milliseconds(m_periodTicks);
    const uint32_t perPeriod = std::min<uint32_t>(m_samplesPerBlob, MaxSamplesPerBlobLocked());
    const uint64_t maxPeriodsPerBlob = MaxSamplesPerBlobLocked() / perPeriod;
    for (int i = 0; i < kMaxStreamCatchUpBlobs && m_nextSampleDue <= now; ++i) {
        const uint64_t overdue = static_cast<uint64_t>((now - m_nextSampleDue) / period) + 1;
        const uint64_t periods = std::min(overdue, maxPeriodsPerBlob);
        SendMeasurementLocked(static_cast<uint32_t>(periods * perPeriod));
        m_nextSampleDue += period * static_cast<int64_t>(periods);
    }
}

SimUnit::Clock::time_point SimUnit::NextWakeLocked() const {
    Clock::time_point wake = Clock::time_point::max();
    if (!m_delayed.empty())
        wake = m_delayed.front().due;
    if (m_streaming)
        wake = std::min(wake, m_nextSampleDue);
    if (m_dropPending)
        wake = std::min(wake, m_dropAt);
    return wake;
}

void SimUnit::CloseFromDeliveryThread(std::unique_lock<std::mutex> &lock) {
    StopLinkLocked();
    m_closedByUnit = true;
    const std::shared_ptr<const LinkClosedFn> closed = m_linkClosed;
    lock.unlock();
    if (closed && *closed)
        (*closed)();
    lock.lock();
}

void SimUnit::DeliveryLoop() {
    std::vector<uint8_t> chunk(kMaxChunkSize);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_deliveryThreadId = std::this_thread::get_id();
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        ReleaseDueLocked(now);
        StreamDueLocked(now);
        if (DropDueLocked(now)) {
            m_dropPending = false;
            m_awayUntil = now + m_dropDown;
            CloseFromDeliveryThread(lock);
            break;
        }
        if (m_closePending && m_bytesTaken >= m_closeAt) {
            CloseFromDeliveryThread(lock);
            break;
        }
        size_t n = std::min(ReadyBytesLocked(), m_chunkSize);
        if (m_closePending)
            n = static_cast<size_t>(std::min<uint64_t>(n, m_closeAt - m_bytesTaken));
        if (n == 0) {
            const Clock::time_point wake = NextWakeLocked();
            if (wake == Clock::time_point::max())
                m_wake.wait(lock);
            else
                m_wake.wait_until(lock, wake);
            continue;
        }
        std::memcpy(chunk.data(), m_ready.data() + m_readyPos, n);
        m_readyPos += n;
        m_bytesTaken += n;
        if (m_readyPos == m_ready.size()) {
            m_ready.clear();
            m_readyPos = 0;
        } else if (m_readyPos >= kCompactAbove && 2 * m_readyPos >= m_ready.size()) {
            // A consumer that never quite catches up must not make the delivered prefix grow.
            m_ready.erase(m_ready.begin(), m_ready.begin() + static_cast<std::ptrdiff_t>(m_readyPos));
            m_readyPos = 0;
        }
        if (m_linkRate != 0) {
            // The chunk reaches the host once its last byte has crossed the link.
            m_linkFreeAt = LinkArrivalLocked(n, now);
            m_wake.wait_until(lock, m_linkFreeAt, [this] { return m_stop; });
            if (m_stop)
                continue; // undelivered bytes are dropped
        }
        const std::shared_ptr<const DeliverFn> deliver = m_deliver;
        lock.unlock();
        if (deliver && *deliver)
            (*deliver)(chunk.data(), n);
        lock.lock();
        m_bytesDelivered += n;
    }
    // Cleared before the thread ends, so that a later thread given the same id
    // is not taken for this one.
    m_deliveryThreadId = std::thread::id();
}

SimUnit::Clock::time_point SimUnit::LinkArrivalLocked(size_t n, Clock::time_point now) const {
    if (m_linkRate == 0)
        return now;
    const Clock::time_point start = std::max(m_linkFreeAt, now - kLinkCatchUp);
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                       static_cast<int64_t>(n) * 1000000000 / static_cast<int64_t>(m_linkRate)));
}

// ---- settings and knobs ----

size_t SimUnit::SetChunkSize(size_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chunkSize = std::clamp<size_t>(size, 1, kMaxChunkSize);
    return m_chunkSize;
}

size_t SimUnit::ChunkSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chunkSize;
}

void SimUnit::SetStreamMask(uint8_t mask) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streamMask = mask;
}

void SimUnit::SetLinkRate(uint32_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_linkRate = bytesPerSecond;
    m_wake.notify_one();
}

uint32_t SimUnit::LinkRate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_linkRate;
}

uint8_t SimUnit::StreamMask() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streamMask;
}

void SimUnit::SetSamplesPerBlob(uint8_t samples) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_samplesPerBlob = samples == 0 ? 1 : samples;
}

uint8_t SimUnit::SamplesPerBlob() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_samplesPerBlob;
}

void SimUnit::QueueMeasurements(uint32_t blobs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t samples = std::min<uint32_t>(m_samplesPerBlob, MaxSamplesPerBlobLocked());
    for (uint32_t i = 0; i < blobs; ++i)
        SendMeasurementLocked(samples);
    m_wake.notify_one();
}

void SimUnit::SetDataSheet(int channel, const DataSheetBytes &record) {
    if (channel < SimDataSheet::kFirstChannel || channel > SimDataSheet::kLastChannel)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dataSheets[static_cast<size_t>(channel)] = record;
}

DataSheetBytes SimUnit::DataSheet(int channel) const {
    if (channel < SimDataSheet::kFirstChannel || channel > SimDataSheet::kLastChannel)
        return DataSheetBytes{};
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dataSheets[static_cast<size_t>(channel)];
}

std::vector<uint8_t> SimUnit::Memory() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory;
}

void SimUnit::SetGarbageBeforeInit(std::vector<uint8_t> garbage) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_garbageBeforeInit = std::move(garbage);
}

void SimUnit::CorruptChecksumOfBlob(uint64_t n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_corruptBlobAt = n == 0 ? 0 : m_blobsSent + n;
}

void SimUnit::InjectBlobBeforeNextResponse(uint8_t type) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_injectBlob = true;
    m_injectType = type;
}

void SimUnit::DropNextResponse() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropNext = true;
}

void SimUnit::SetDropResponsesTo(uint8_t cmd, bool drop) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropCmd[cmd] = drop;
}

void SimUnit::DelayNextResponse(uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delayNextMs = ms;
}

void SimUnit::SetDisconnectDelay(uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_disconnectDelayMs = ms;
}

void SimUnit::SetResponseDelay(uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delayAllMs = ms;
}

void SimUnit::ErrorOnNextCommand() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errorNext = true;
}

void SimUnit::CloseLink() {
    CloseLinkAfterBytes(0);
}

void SimUnit::CloseLinkAfterBytes(size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_connected)
        return;
    m_closePending = true;
    m_closeAt = m_bytesTaken + bytes; // a chunk already in flight does not count
    m_wake.notify_one();
}

void SimUnit::DropLinkAfter(std::chrono::milliseconds after, std::chrono::milliseconds down) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropPending = true;
    m_dropAfter = after;
    m_dropDown = down;
    m_dropAt = Clock::now() + after; // Connect sets it afresh
    m_wake.notify_one();
}

// ---- observation ----

uint64_t SimUnit::CommandCount(uint8_t cmd) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commandCounts[cmd];
}

uint64_t SimUnit::TotalCommands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    uint64_t total = 0;
    for (uint64_t n : m_commandCounts)
        total += n;
    return total;
}

uint64_t SimUnit::BadChecksumCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badChecksums;
}

uint64_t SimUnit::RejectedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rejected;
}

uint64_t SimUnit::RefusedInitCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refusedInits;
}

std::vector<uint8_t> SimUnit::LastCommand() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastCommand;
}

uint32_t SimUnit::PeriodTicks() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_periodTicks;
}

bool SimUnit::IsStreaming() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_streaming;
}

uint64_t SimUnit::BlobsSent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blobsSent;
}

uint64_t SimUnit::BytesDelivered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytesDelivered;
}

bool SimUnit::LinkClosedByUnit() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closedByUnit;
}

bool SimUnit::DropPending() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropPending;
}

bool SimUnit::InReach() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return Clock::now() >= m_awayUntil;
}

} // namespace sim
