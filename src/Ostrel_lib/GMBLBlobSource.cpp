#include "GMBLBlobSource.h"

#include "GCircularBuffer.h"
#include "GDeviceIO.h"
#include "GUtils.h"
#include "Platform.h"
#include "PriorityMutex.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

static const wchar_t kTraceModule[] = L"GMBLBlobSource.cpp";

namespace {

constexpr int32_t kBytesPerMeasurement = static_cast<int32_t>(sizeof(int32_t));
// What GetMeasurementPeriod answers when the unit does not tell.
constexpr double kUnknownMeasurementPeriod = 1000000.0;

// Another host thread may raise the caller's stop flag while we wait.
bool StopRequested(const bool *flag) {
#if defined(__GNUC__)
    return __atomic_load_n(flag, __ATOMIC_ACQUIRE);
#else
    return *static_cast<const volatile bool *>(flag);
#endif
}

unsigned Hex(uint8_t value) {
    return value;
}

// " 20 06 11 ...": bytes in two-digit lower-case hexadecimal.
std::wstring HexBytes(const uint8_t *bytes, int32_t count) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (int32_t i = 0; i < count; ++i) {
        text += L' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// Whole ticks in a period, rounded to the nearest.
uint32_t TicksOf(double seconds, double tick) {
    const double ticks = std::floor(seconds / tick + 0.5);
    if (!(ticks > 0.0))
        return 0;
    if (ticks >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(ticks);
}

} // namespace

GMBLBlobSource::GMBLBlobSource() = default;

GMBLBlobSource::~GMBLBlobSource() {
    // The device goes first: deleting it ends the reader thread that files
    // into the rings below.
    CloseDevice();
    ReleaseDevice();
    delete m_outputTraceBuffer;
    delete m_inputTraceBuffer;
    delete m_syncBuffer;
    for (GCircularBuffer *ring : m_measurementBuffers)
        delete ring;
    delete m_responseBuffer;
    DestroyPriorityMutex(m_mutex);
    Platform::CloseHandle(m_replyCompleted);
}

// ---------------------------------------------------------------------------
// Attaching

int32_t GMBLBlobSource::AttachDevice(const GPortRef * /*port*/) {
    if (m_mutex == nullptr) {
        PriorityLevel ceiling = kSourcePriorityLevel;
        if (m_device != nullptr)
            ceiling = m_device->SetIOPriority(kSourcePriorityLevel);
        m_mutex = CreatePriorityMutex(L"", ceiling);
        if (m_mutex == nullptr || m_mutex->mutex == nullptr) {
            // A mutex that refuses every lock would make the reader drop all input.
            DestroyPriorityMutex(m_mutex);
            m_mutex = nullptr;
            return -1;
        }
    }
    const auto makeRing = [this](GCircularBuffer *&ring, int32_t capacity, bool locked) {
        if (ring == nullptr) {
            ring = new (std::nothrow) GCircularBuffer(capacity);
            if (ring != nullptr && locked)
                ring->SetLock(m_mutex);
        }
        return ring != nullptr;
    };
    if (m_measurementBuffers.empty()) {
        const int32_t perChannel = std::clamp<int32_t>(m_channelCapacity, 0, std::numeric_limits<int32_t>::max() / 4);
        for (int32_t channel = 0; channel < m_numChannels; ++channel) {
            GCircularBuffer *ring = nullptr;
            if (!makeRing(ring, perChannel * kBytesPerMeasurement, true))
                return -1;
            m_measurementBuffers.push_back(ring);
            m_latestMeasurements.push_back(0);
        }
    }
    if (!makeRing(m_responseBuffer, kResponseRingCapacity, true) || !makeRing(m_syncBuffer, kSyncRingCapacity, false))
        return -1;
    if (m_ioTraceEnabled) {
        if (!makeRing(m_inputTraceBuffer, kTraceRingCapacity, true) ||
            !makeRing(m_outputTraceBuffer, kTraceRingCapacity, true))
            return -1;
    }
    if (m_replyCompleted == nullptr)
        m_replyCompleted = Platform::CreateKernelSemaphore(0, 1);
    if (m_device != nullptr)
        m_device->SetReceiveCallback(&GMBLBlobSource::OnBytesReceived, this);
    return 0;
}

// ---------------------------------------------------------------------------
// Command exchange

int32_t GMBLBlobSource::SendCmd(uint8_t cmd, const uint8_t *params, int32_t nParams, int32_t *outSignature) {
    return SendCommand(cmd, params, nParams, outSignature, nullptr);
}

int32_t GMBLBlobSource::SendCommand(uint8_t cmd, const uint8_t *params, int32_t nParams, int32_t *outSignature,
                                    ResponseAssembly *wait) {
    if (params == nullptr)
        nParams = 0;
    if (m_device == nullptr || nParams < 0 || nParams > Blob::kMaxParams)
        return -1;
    const uint8_t counter = m_rollingCounter;
    switch (cmd) {
    case Blob::kCmdStartMeasurements:
        m_measuring = true;
        break;
    case Blob::kCmdStopMeasurements:
        m_measuring = false;
        break;
    case Blob::kCmdInit:
        m_measuring = false;
        // Before the write, so that the reader cannot see the answer first.
        ResetFraming(counter);
        break;
    default:
        break;
    }
    if (outSignature != nullptr)
        *outSignature = counter;
    {
        PriorityLock lock(m_mutex);
        if (lock.Locked() || m_mutex == nullptr) {
            // The counter has come round: an older reply with this signature
            // could no longer be told from the answer to this command.
            m_lateSignatures.reset(counter);
            // The wait takes over before the answer can come: a reply larger
            // than the ring would otherwise overrun it before the wait began.
            if (wait != nullptr && lock.Locked())
                TakeOverResponses(*wait);
        }
    }
    uint8_t blob[Blob::kMaxLength];
    const int32_t length = BuildCommandBlob(blob, cmd, counter, params, nParams);
    --m_rollingCounter;

    int32_t written = length;
    const int32_t result = m_device->Write(blob, &written);
    if (m_ioTraceEnabled && m_outputTraceBuffer != nullptr)
        m_outputTraceBuffer->Write(blob, std::clamp<int32_t>(written, 0, length));
    OSTREL_TRACE(L"Blob cmd sent: " << std::hex << Hex(cmd) << L"h " << L"; length = " << length << L"h "
                                    << L"; rolling counter = " << Hex(counter) << L"h " << L"\n");
    if (result != 0) {
        OSTREL_TRACE(L"Error writing " << std::hex << Hex(cmd) << L"h cmd blob to device." << L"\n");
        return result;
    }
    return 0;
}

uint32_t GMBLBlobSource::TickCount() const {
    return Platform::GetTickCount();
}

void GMBLBlobSource::Pause(uint32_t milliseconds) {
    if (m_replyCompleted != nullptr)
        Platform::WaitForSemaphore(m_replyCompleted, milliseconds);
    else
        Platform::Sleep(milliseconds);
}

void GMBLBlobSource::ResetFraming(uint8_t signature) {
    PriorityLock lock(m_mutex);
    if (!lock.Locked())
        return;
    ClearResponses();
    if (m_syncBuffer != nullptr)
        m_syncBuffer->Clear();
    m_blobBytesAssembled = 0;
    m_synchronised = 0;
    m_initSignature = signature;
    m_lateSignatures.reset();
}

bool GMBLBlobSource::ReadResponseBlob(uint8_t (&blob)[Blob::kMaxLength + 1]) {
    if (m_responseBuffer->Read(blob, Blob::kHeaderSize) < Blob::kHeaderSize) {
        OSTREL_TRACE(L"Unable to read complete blob header!");
        return false;
    }
    // The whole blob as it was filed, also one too short for a response
    // header: a part left behind would make the ring start inside a blob.
    const int32_t rest = std::max<int32_t>(blob[Blob::kLengthOffset], Blob::kHeaderSize) - Blob::kHeaderSize;
    if (m_responseBuffer->Read(blob + Blob::kHeaderSize, rest) < rest) {
        OSTREL_TRACE(L"Unable to read complete blob!");
        return false;
    }
    return true;
}

void GMBLBlobSource::TakeQueuedResponses(ResponseAssembly &assembly) {
    if (m_responseBuffer == nullptr)
        return;
    uint8_t blob[Blob::kMaxLength + 1];
    while (!assembly.Finished() && m_responseBuffer->GetCount() > 0) {
        if (!ReadResponseBlob(blob)) {
            assembly.Fail();
            return;
        }
        assembly.Take(blob);
    }
}

void GMBLBlobSource::TakeOverResponses(ResponseAssembly &assembly) {
    if (m_waitingAssembly == nullptr) {
        m_waitingAssembly = &assembly;
        // A completion left from an earlier wait (one that saw its reply
        // whole before it paused) must not cut this wait's first step short.
        if (m_replyCompleted != nullptr)
            Platform::WaitForSemaphore(m_replyCompleted, 0);
    }
    // In the same hold, so that no blob that came before the hand-over is
    // taken after one that came later.
    TakeQueuedResponses(assembly);
}

void GMBLBlobSource::EndWait(ResponseAssembly &assembly) {
    // The reader must not reach the assembly once the wait returns, so the
    // lock is waited for as long as it takes.
    for (;;) {
        PriorityLock lock(m_mutex);
        if (!lock.Locked() && m_mutex != nullptr)
            continue;
        if (m_waitingAssembly == &assembly)
            m_waitingAssembly = nullptr;
        assembly.Abandon();
        return;
    }
}

int32_t GMBLBlobSource::GetNextResponse(uint8_t *dst, int32_t *inOutSize, uint8_t *outCmd, uint8_t *outErrorFlag,
                                        const int32_t *expectedSignature, uint32_t timeoutMs, const bool *stopFlag) {
    ResponseAssembly assembly(dst, inOutSize != nullptr ? *inOutSize : 0, expectedSignature, m_lateSignatures);
    return AwaitResponse(assembly, inOutSize, outCmd, outErrorFlag, expectedSignature, timeoutMs, stopFlag);
}

int32_t GMBLBlobSource::AwaitResponse(ResponseAssembly &assembly, int32_t *inOutSize, uint8_t *outCmd,
                                      uint8_t *outErrorFlag, const int32_t *expectedSignature, uint32_t timeoutMs,
                                      const bool *stopFlag) {
    if (outErrorFlag != nullptr)
        *outErrorFlag = 0;
    const bool noStop = false;
    const bool *stop = stopFlag != nullptr ? stopFlag : &noStop;
    const uint32_t start = TickCount();
    for (;;) {
        bool finished = false;
        {
            PriorityLock lock(m_mutex);
            if (lock.Locked()) {
                TakeOverResponses(assembly);
                finished = assembly.Finished();
            }
        }
        if (finished || TickCount() - start > timeoutMs || StopRequested(stop))
            break;
        Pause(kResponsePollMs);
    }
    EndWait(assembly);

    int32_t result = assembly.Complete() ? 0 : -1;
    if (inOutSize != nullptr)
        *inOutSize = assembly.Stored();
    if (outCmd != nullptr && assembly.HasHeader())
        *outCmd = assembly.Cmd();
    if (outErrorFlag != nullptr && assembly.ErrorFlag())
        *outErrorFlag = 1;
    if (!assembly.Finished() && !StopRequested(stop))
        OSTREL_TRACE(L"Timed out waiting for blob command response.");
    if (result == 0 && expectedSignature != nullptr &&
        *expectedSignature != static_cast<int32_t>(assembly.Signature())) {
        result = -1;
        OSTREL_TRACE(L"Blob cmd response signature did not match: expected signature = "
                     << std::hex << *expectedSignature << L"h " << L"; received signature = "
                     << Hex(assembly.Signature()) << L"h " << L"\n");
    }
    if (result == 0)
        OSTREL_TRACE(L"GetNextResponse returns " << std::hex << Hex(assembly.Cmd()) << L"h cmd blob after "
                                                 << (TickCount() - start) << L"h milliseconds." << L"\n");
    return result;
}

int32_t GMBLBlobSource::SendCmdAndGetResponse(uint8_t cmd, const uint8_t *params, int32_t nParams, uint8_t *dst,
                                              int32_t *inOutSize, uint32_t timeoutMs, const bool *stopFlag) {
    int32_t signature = 0;
    ResponseAssembly assembly(dst, inOutSize != nullptr ? *inOutSize : 0, &signature, m_lateSignatures);
    const int32_t sent = SendCommand(cmd, params, nParams, &signature, &assembly);
    if (sent != 0) {
        EndWait(assembly);
        return sent;
    }
    uint8_t echo = 0;
    uint8_t errorFlag = 0;
    const int32_t result = AwaitResponse(assembly, inOutSize, &echo, &errorFlag, &signature, timeoutMs, stopFlag);
    {
        // Whatever of this command's answer is still to come answers nobody:
        // it must not fail the next exchange in turn. That holds after a
        // whole reply too: a unit may send more than its last blob (a blob
        // repeated, or one that came after the last).
        PriorityLock lock(m_mutex);
        if (lock.Locked() || m_mutex == nullptr)
            m_lateSignatures.set(static_cast<size_t>(signature));
    }
    if (result != 0) {
        OSTREL_TRACE(L"Error waiting for response to " << std::hex << Hex(cmd) << L"h blob cmd." << L"\n");
        return result;
    }
    if (errorFlag != 0) {
        OSTREL_TRACE(L"Blob device reported an error over the wire. cmd sent = "
                     << std::hex << Hex(cmd) << L"h. cmd returned = " << Hex(echo) << L"h." << L"\n");
        return -1;
    }
    if (echo != cmd) {
        OSTREL_TRACE(L"Blob device reported cmd response mismatch. cmd sent = "
                     << std::hex << Hex(cmd) << L"h. cmd returned = " << Hex(echo) << L"h." << L"\n");
        return -1;
    }
    return 0;
}

int32_t GMBLBlobSource::ClearResponses() {
    if (m_responseBuffer == nullptr)
        return -1;
    return m_responseBuffer->Clear() ? 0 : -1;
}

int32_t GMBLBlobSource::ClearIO() {
    int32_t result = 0;
    if (m_device != nullptr) {
        result = m_device->ClearIO();
        if (result != 0)
            return result;
    }
    if (m_mutex != nullptr) {
        PriorityLock lock(m_mutex);
        if (!lock.Locked())
            return -1;
        ClearResponses();
        ClearMeasurements(-1);
        if (m_syncBuffer != nullptr)
            m_syncBuffer->Clear();
        m_blobBytesAssembled = 0;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Receive path (the device's reader thread)

void GMBLBlobSource::OnBytesReceived(const uint8_t *bytes, int32_t length, void *context) {
    auto *source = static_cast<GMBLBlobSource *>(context);
    if (source == nullptr || source->m_mutex == nullptr || source->m_responseBuffer == nullptr)
        return;
    if (bytes == nullptr || length <= 0)
        return;
    if (source->m_ioTraceEnabled) {
        // Under the ring's own lock, which also covers the pointer itself.
        PriorityLock lock(source->m_mutex);
        if (lock.Locked() && source->m_inputTraceBuffer != nullptr)
            source->m_inputTraceBuffer->WriteHeld(bytes, length);
    }
    int32_t processed = 0;
    while (processed < length) {
        // At most one blob's worth per hold, so that host calls interleave
        // with a fast stream.
        PriorityLock lock(source->m_mutex);
        if (!lock.Locked())
            return; // the rest of this delivery is lost
        const int32_t n = std::min(length - processed, Blob::kMaxLength);
        const uint8_t *piece = bytes + processed;
        processed += source->m_synchronised ? source->ConsumeFramed(piece, n) : source->ConsumeUnsynchronised(piece, n);
    }
}

bool GMBLBlobSource::FindInitResponse(const uint8_t *src, int32_t n, uint8_t signature, GCircularBuffer *syncRing,
                                      uint8_t *blob, int32_t &consumed) {
    consumed = 0;
    while (consumed < n) {
        syncRing->Write(src + consumed, 1);
        ++consumed;
        const int32_t held = syncRing->GetCount();
        if (held >= Blob::kInitResponseLength &&
            syncRing->Peek(blob, held - Blob::kInitResponseLength) == Blob::kInitResponseLength &&
            IsInitResponse(blob, signature))
            return true;
    }
    return false;
}

bool GMBLBlobSource::AccumulateBlob(uint8_t *buffer, const uint8_t *src, int32_t n, int32_t &assembled,
                                    int32_t &consumed) {
    // Up to the header's end, then up to the blob's end, each in one copy:
    // the blob is whole at the same byte as when taken one at a time.
    consumed = 0;
    while (consumed < n) {
        const int32_t end = assembled < Blob::kHeaderSize ? Blob::kHeaderSize
                                                          : std::max<int32_t>(buffer[Blob::kLengthOffset], assembled);
        const int32_t taken = std::min(n - consumed, end - assembled);
        std::memcpy(buffer + assembled, src + consumed, static_cast<size_t>(taken));
        assembled += taken;
        consumed += taken;
        if (assembled >= Blob::kHeaderSize && assembled >= buffer[Blob::kLengthOffset])
            return true;
    }
    return false;
}

int32_t GMBLBlobSource::ConsumeUnsynchronised(const uint8_t *src, int32_t n) {
    if (m_syncBuffer == nullptr)
        return n;
    int32_t consumed = 0;
    if (FindInitResponse(src, n, m_initSignature, m_syncBuffer, m_blobBuffer, consumed)) {
        m_synchronised = 1;
        DeliverResponseBlob(m_blobBuffer, Blob::kInitResponseLength);
        m_blobBytesAssembled = 0;
    }
    return consumed;
}

int32_t GMBLBlobSource::ConsumeFramed(const uint8_t *src, int32_t n) {
    int32_t consumed = 0;
    if (AccumulateBlob(m_blobBuffer, src, n, m_blobBytesAssembled, consumed)) {
        DispatchBlob();
        m_blobBytesAssembled = 0;
    }
    return consumed;
}

void GMBLBlobSource::DispatchBlob() {
    const uint8_t *blob = m_blobBuffer;
    if (BlobChecksum(blob) != blob[Blob::kChecksumOffset]) {
        OSTREL_TRACE(L"Input blob discarded because of bad checksum.");
        return;
    }
    const uint8_t blobClass = blob[Blob::kTypeOffset] & Blob::kClassMask;
    switch (blobClass) {
    case Blob::kClassMeasurement: {
        if (blob[Blob::kLengthOffset] < Blob::kMeasurementHeaderSize) {
            // Its mask and sample count would be bytes left from an earlier blob.
            OSTREL_TRACE(L"Measurement blob discarded because it is shorter than its header: length = "
                         << std::hex << Hex(blob[Blob::kLengthOffset]) << L"h ; bytes ="
                         << HexBytes(blob, m_blobBytesAssembled) << L"\n");
            return;
        }
        const MeasurementLayout layout = ParseMeasurementLayout(blob);
        if (!MeasurementSamplesFit(blob, layout)) {
            OSTREL_TRACE(L"Measurement blob discarded because its samples exceed its length: channels = "
                         << std::hex << layout.numChannels << L"h ; samples = " << layout.samplesPerChannel
                         << L"h ; length = " << Hex(blob[Blob::kLengthOffset]) << L"h" << L"\n");
            return;
        }
        HandleMeasurementBlob(blob);
        break;
    }
    case Blob::kClassResponse:
    case Blob::kClassInitResponse:
        // The bytes actually taken: a length byte below 4 still took 4, and
        // filing fewer would split the ring's blobs.
        DeliverResponseBlob(blob, m_blobBytesAssembled);
        break;
    default:
        OSTREL_TRACE(L"Unrecognized blob received: type = " << std::hex << Hex(blobClass) << L"h ; length = "
                                                            << Hex(blob[Blob::kLengthOffset]) << L"h" << L"\n");
        break;
    }
}

void GMBLBlobSource::DeliverResponseBlob(const uint8_t *blob, int32_t length) {
    if (m_waitingAssembly != nullptr && !m_waitingAssembly->Finished()) {
        m_waitingAssembly->Take(blob);
        // Wakes the wait now rather than at its next look.
        if (m_waitingAssembly->Finished() && m_replyCompleted != nullptr)
            Platform::ReleaseSemaphore(m_replyCompleted, 1);
    } else
        FileResponseBlob(blob, length);
}

void GMBLBlobSource::FileResponseBlob(const uint8_t *blob, int32_t length) {
    // When the ring is full, whole oldest blobs make room: overwriting bytes
    // would leave the ring starting inside a blob.
    const int32_t capacity = m_responseBuffer->GetCapacity();
    int32_t held = m_responseBuffer->GetCount();
    while (held > 0 && capacity - held < length) {
        uint8_t header[GCircularBuffer::kPeekWindow];
        int32_t drop = held;
        if (m_responseBuffer->Peek(header, 0) > Blob::kLengthOffset)
            drop = std::min(held, std::max<int32_t>(header[Blob::kLengthOffset], Blob::kHeaderSize));
        uint8_t discarded[Blob::kMaxLength + 1];
        const int32_t removed = m_responseBuffer->Read(discarded, std::min<int32_t>(drop, sizeof discarded));
        if (removed <= 0)
            break;
        held -= removed;
    }
    m_responseBuffer->Write(blob, length);
}

void GMBLBlobSource::HandleMeasurementBlob(const uint8_t *blob) {
    const MeasurementLayout layout = ParseMeasurementLayout(blob);
    const int32_t samples = layout.samplesPerChannel;
    if (layout.numChannels == 0 || samples == 0 || samples > Blob::kMaxSamplesPerChannel)
        return;
    if (layout.HighestChannel() >= static_cast<int32_t>(m_measurementBuffers.size()))
        return;
    int32_t values[Blob::kMaxSamplesPerChannel];
    for (int32_t slot = 0; slot < layout.numChannels; ++slot) {
        for (int32_t i = 0; i < samples; ++i)
            values[i] = static_cast<int16_t>(MeasurementSampleWord(blob, layout, slot, i));
        FileMeasurements(layout.channels[slot], values, samples);
    }
}

void GMBLBlobSource::FileMeasurements(int32_t channel, const int32_t *values, int32_t count) {
    m_measurementBuffers[channel]->WriteHeld(values, count * kBytesPerMeasurement);
    m_latestMeasurements[channel] = values[count - 1];
}

// ---------------------------------------------------------------------------
// Measurement consumers (host threads)

GCircularBuffer *GMBLBlobSource::ChannelRing(int32_t channel) const {
    if (channel < 0 || channel >= static_cast<int32_t>(m_measurementBuffers.size()))
        return nullptr;
    return m_measurementBuffers[channel];
}

int32_t GMBLBlobSource::GetNumMeasurementsAvailable(int32_t channel) {
    GCircularBuffer *ring = ChannelRing(channel);
    return ring != nullptr ? ring->GetCount() / kBytesPerMeasurement : 0;
}

int32_t GMBLBlobSource::ReadRawMeasurements(int32_t channel, int32_t *dst, int32_t /*reserved*/, int32_t maxCount,
                                            int32_t *outCount) {
    if (outCount != nullptr)
        *outCount = 0;
    GCircularBuffer *ring = ChannelRing(channel);
    if (ring == nullptr)
        return -1;
    if (maxCount <= 0)
        return 0;
    if (dst == nullptr)
        return -1;
    const int32_t asked = std::min(maxCount, ring->GetCapacity() / kBytesPerMeasurement);
    const int32_t bytes = ring->Read(dst, asked * kBytesPerMeasurement);
    if (outCount != nullptr)
        *outCount = bytes / kBytesPerMeasurement;
    return 0;
}

std::vector<int32_t> &GMBLBlobSource::ReadMeasurementsToList(std::vector<int32_t> &outList, int32_t channel,
                                                             int32_t maxCount) {
    outList.clear();
    int32_t target = GetNumMeasurementsAvailable(channel);
    if (maxCount >= 0 && maxCount < target)
        target = maxCount;
    int32_t batch[kListReadBatch];
    while (static_cast<int32_t>(outList.size()) < target) {
        const int32_t asked = std::min(target - static_cast<int32_t>(outList.size()), kListReadBatch);
        int32_t got = 0;
        ReadRawMeasurements(channel, batch, 0, asked, &got);
        outList.insert(outList.end(), batch, batch + got);
        if (got < asked)
            break;
    }
    return outList;
}

int32_t GMBLBlobSource::GetLatestRawMeasurement(int32_t channel) {
    if (channel < 0 || channel >= static_cast<int32_t>(m_latestMeasurements.size()))
        return 0;
    // One hold across both, so no blob is filed between the read and the clear.
    PriorityLock lock(m_mutex);
    if (!lock.Locked())
        return 0;
    const int32_t value = m_latestMeasurements[channel];
    ClearMeasurements(channel);
    return value;
}

int32_t GMBLBlobSource::ClearMeasurements(int32_t channel) {
    if (channel == -1) {
        for (GCircularBuffer *ring : m_measurementBuffers)
            if (!ring->Clear())
                return -1;
        return 0;
    }
    GCircularBuffer *ring = ChannelRing(channel);
    if (ring == nullptr)
        return -1;
    return ring->Clear() ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Measurement period

int32_t GMBLBlobSource::SetMeasurementPeriod(double seconds, int32_t channel, uint32_t timeoutMs) {
    const double tick = GetMeasurementTick();
    if (!(tick > 0.0))
        return -1;
    const double period = QuantiseMeasurementPeriod(seconds, channel);
    uint8_t params[4];
    PutLittleEndian32(params, TicksOf(period, tick));
    return SendCmdAndGetResponse(Blob::kCmdSetMeasurementPeriod, params, sizeof params, nullptr, nullptr, timeoutMs,
                                 nullptr);
}

double GMBLBlobSource::GetMeasurementPeriod(int32_t /*channel*/, uint32_t timeoutMs) {
    uint8_t payload[4] = {};
    int32_t size = sizeof payload;
    if (SendCmdAndGetResponse(Blob::kCmdGetMeasurementPeriod, nullptr, 0, payload, &size, timeoutMs, nullptr) != 0)
        return kUnknownMeasurementPeriod;
    // A short answer is no answer: missing bytes would read as a wrong period.
    if (size < static_cast<int32_t>(sizeof payload))
        return kUnknownMeasurementPeriod;
    return GetMeasurementTick() * GetLittleEndian32(payload);
}

// ---------------------------------------------------------------------------
// Non-volatile memory

int32_t GMBLBlobSource::ReadNonVolatileMemory(uint8_t block, uint8_t *dst, uint32_t address, int32_t nBytes,
                                              uint32_t timeoutMs, const bool *stopFlag) {
    // The request carries the count in 16 bits.
    if (nBytes < 0 || nBytes > 0xFFFF || (nBytes > 0 && dst == nullptr))
        return -1;
    uint8_t request[Blob::kReadRequestSize];
    request[0] = block;
    PutLittleEndian32(request + 1, address);
    PutLittleEndian16(request + 5, static_cast<uint16_t>(nBytes));
    int32_t size = nBytes;
    const int32_t result = SendCmdAndGetResponse(Blob::kCmdReadNonVolatileMemory, request, sizeof request, dst, &size,
                                                 timeoutMs, stopFlag);
    if (result != 0)
        return result;
    return size == nBytes ? 0 : -1;
}

int32_t GMBLBlobSource::WriteNonVolatileMemory(uint8_t block, const uint8_t *src, uint32_t address, int32_t nBytes,
                                               uint32_t timeoutMs, const bool *stopFlag) {
    if (nBytes > 0 && src == nullptr)
        return -1;
    const bool noStop = false;
    const bool *stop = stopFlag != nullptr ? stopFlag : &noStop;
    const uint32_t start = TickCount();
    uint32_t now = start;
    int32_t written = 0;
    // One deadline for the whole write: each chunk gets only what remains.
    while (now - start <= timeoutMs) {
        if (StopRequested(stop) || written >= nBytes)
            break;
        const int32_t n = std::min(nBytes - written, Blob::kMaxWriteChunk);
        uint8_t chunk[Blob::kMaxParams];
        chunk[0] = block;
        PutLittleEndian32(chunk + 1, address);
        chunk[5] = static_cast<uint8_t>(n);
        std::memcpy(chunk + Blob::kWriteChunkHeaderSize, src + written, static_cast<size_t>(n));
        const int32_t result =
            SendCmdAndGetResponse(Blob::kCmdWriteNonVolatileMemory, chunk, n + Blob::kWriteChunkHeaderSize, nullptr,
                                  nullptr, timeoutMs - (now - start), stopFlag);
        if (result != 0)
            return result;
        written += n;
        address += static_cast<uint32_t>(n);
        now = TickCount();
    }
    if (written != nBytes)
        return -1;
    OSTREL_TRACE(L"WriteNonVolatileMemory wrote " << std::dec << nBytes << L" bytes in " << (now - start)
                                                  << L" milliseconds." << L"\n");
    return 0;
}
