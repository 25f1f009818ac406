// The blob protocol on the host side: commands framed with a rolling counter
// and paired with their responses, a reader callback that aligns on the init
// response and files inbound blobs (responses into one ring, measurements into
// one ring per channel), the measurement period and non-volatile memory.
//
// Threads. The device's reader thread runs OnBytesReceived, which holds
// m_mutex for each piece of at most 255 bytes it files. Host threads call the
// other operations; every ring access takes m_mutex (all rings but the sync
// ring share it) for that access only, and nothing sleeps holding it. m_mutex
// is re-entrant for its owner, so a filing step may take it again.
//
// Responses. While a wait for a response is in progress, the reader hands
// each response blob straight to that wait (under m_mutex) instead of filing
// it, so that a reply larger than the response ring (a whole memory block)
// cannot overrun the ring however fast it arrives. The ring holds the blobs
// that come while nobody waits; a wait takes those first. The reader wakes
// the wait as soon as the reply is whole; the wait's 10 ms step is only the
// fall-back.
//
// Still abstract: the measurement tick and the minimum and maximum period come
// from the concrete source.
#pragma once

#include "BlobFormat.h"
#include "GMBLBufferedMeasurementSource.h"
#include "Platform.h"
#include "ResponseAssembly.h"

#include <atomic>
#include <cstdint>
#include <vector>

class GCircularBuffer;
struct PriorityMutex;

class GMBLBlobSource : public GMBLBufferedMeasurementSource {
  public:
    // Sizes of the rings AttachDevice creates, in bytes they hold.
    static constexpr int32_t kResponseRingCapacity = 10000;
    static constexpr int32_t kTraceRingCapacity = 10000;
    static constexpr int32_t kSyncRingCapacity = 255;
    // Ceiling of m_mutex: the level of the stacks' reader threads.
    static constexpr int32_t kSourcePriorityLevel = 4;
    // How often GetNextResponse looks at the response ring when the reader
    // does not wake it first.
    static constexpr uint32_t kResponsePollMs = 10;
    // ReadMeasurementsToList moves at most this many values per ring read.
    static constexpr int32_t kListReadBatch = 100;

    GMBLBlobSource();
    // Closes and deletes the device (ending its reader) before the rings and
    // the mutex go.
    ~GMBLBlobSource() override; // 0

    // Creates the mutex and the rings that do not exist yet and registers
    // OnBytesReceived with the device (when there is one). 0, or -1 when the
    // mutex cannot be created.
    int32_t AttachDevice(const GPortRef *port) override; // 2

    int32_t SendCmd(uint8_t cmd, const uint8_t *params, int32_t nParams, int32_t *outSignature) override; // 82
    int32_t GetNextResponse(uint8_t *dst, int32_t *inOutSize, uint8_t *outCmd, uint8_t *outErrorFlag,
                            const int32_t *expectedSignature, uint32_t timeoutMs,
                            const bool *stopFlag) override; // 83
    int32_t SendCmdAndGetResponse(uint8_t cmd, const uint8_t *params, int32_t nParams, uint8_t *dst, int32_t *inOutSize,
                                  uint32_t timeoutMs, const bool *stopFlag) override; // 84

    int32_t SetMeasurementPeriod(double seconds, int32_t channel, uint32_t timeoutMs) override; // 87
    // 1000000.0 when the period cannot be read.
    double GetMeasurementPeriod(int32_t channel, uint32_t timeoutMs) override; // 88

    int32_t GetNumMeasurementsAvailable(int32_t channel) override; // 91
    std::vector<int32_t> &ReadMeasurementsToList(std::vector<int32_t> &outList, int32_t channel,
                                                 int32_t maxCount) override; // 93
    // The last value filed for the channel; discards the channel's buffer.
    int32_t GetLatestRawMeasurement(int32_t channel) override; // 94
    int32_t ClearIO() override;                                // 95
    // -1 clears every channel.
    int32_t ClearMeasurements(int32_t channel) override; // 96
    int32_t ClearResponses() override;                   // 97

    int32_t ReadNonVolatileMemory(uint8_t block, uint8_t *dst, uint32_t address, int32_t nBytes, uint32_t timeoutMs,
                                  const bool *stopFlag) override; // 98
    int32_t WriteNonVolatileMemory(uint8_t block, const uint8_t *src, uint32_t address, int32_t nBytes,
                                   uint32_t timeoutMs, const bool *stopFlag) override; // 99

    int32_t ReadRawMeasurements(int32_t channel, int32_t *dst, int32_t reserved, int32_t maxCount,
                                int32_t *outCount) override; // 105

    // Files one measurement blob that passed its checks: the checksum, and
    // 8 + 2 S N <= length, so S N <= 123. Runs on the reader thread with
    // m_mutex held. The base reads each sample word as signed 16 bits.
    virtual void HandleMeasurementBlob(const uint8_t *blob); // 106

    // The reader callback registered with the device; `context` is the source.
    static void OnBytesReceived(const uint8_t *bytes, int32_t length, void *context);

    // Raw traffic capture, read and switched by the diagnostics exports. The
    // two rings exist only if capture was on at attach.
    std::atomic<bool> m_ioTraceEnabled{true};
    GCircularBuffer *m_inputTraceBuffer = nullptr;  // every byte received
    GCircularBuffer *m_outputTraceBuffer = nullptr; // every command blob written

  protected:
    // The clock of the response wait and of the memory write's deadline, and
    // the response wait's step: at most `milliseconds`, cut short when the
    // reader completes the reply. Virtual so that a harness can run those
    // waits in simulated time, without sleeping.
    virtual uint32_t TickCount() const;
    virtual void Pause(uint32_t milliseconds);

    // Forgets every response and the framing, and makes the reader wait for
    // the init response that carries `signature`.
    void ResetFraming(uint8_t signature);

    // Appends `count` values to a channel ring in one write and makes the
    // last one the channel's latest value. The caller holds m_mutex and has
    // checked the channel.
    void FileMeasurements(int32_t channel, const int32_t *values, int32_t count);

    // Copies bytes from src into buffer[assembled...] until a blob is whole
    // (assembled >= 4 and >= its length byte). Returns whether it is;
    // consumed tells how many bytes were taken.
    static bool AccumulateBlob(uint8_t *buffer, const uint8_t *src, int32_t n, int32_t &assembled, int32_t &consumed);
    // Slides over src one byte at a time through syncRing, looking at its
    // newest 26 bytes for the init response carrying `signature`. On success
    // the response is in blob and consumed counts up to its last byte;
    // otherwise all n bytes are consumed.
    static bool FindInitResponse(const uint8_t *src, int32_t n, uint8_t signature, GCircularBuffer *syncRing,
                                 uint8_t *blob, int32_t &consumed);

    // Index = channel number.
    std::vector<GCircularBuffer *> m_measurementBuffers;
    std::vector<int32_t> m_latestMeasurements;
    GCircularBuffer *m_responseBuffer = nullptr; // whole response blobs, back to back
    PriorityMutex *m_mutex = nullptr;
    uint8_t m_blobBuffer[256] = {};          // the inbound blob being assembled
    GCircularBuffer *m_syncBuffer = nullptr; // the bytes seen while unsynchronised; no lock of its own
    int32_t m_synchronised = 0;              // framing established (reader thread, under m_mutex)
    int32_t m_blobBytesAssembled = 0;
    uint8_t m_initSignature = 0;     // counter of the last init command
    uint8_t m_rollingCounter = 0xFF; // counter of the next command

  private:
    // Receive path, m_mutex held; each returns the bytes it consumed.
    int32_t ConsumeUnsynchronised(const uint8_t *src, int32_t n);
    int32_t ConsumeFramed(const uint8_t *src, int32_t n);
    void DispatchBlob();
    // A response blob of `length` bytes (its length byte, at least 4): to the
    // wait in progress, else into the ring.
    void DeliverResponseBlob(const uint8_t *blob, int32_t length);
    void FileResponseBlob(const uint8_t *blob, int32_t length);

    // SendCmd; with a wait given, that wait takes over the responses (see
    // TakeOverResponses) right before the command goes out.
    int32_t SendCommand(uint8_t cmd, const uint8_t *params, int32_t nParams, int32_t *outSignature,
                        ResponseAssembly *wait);
    // GetNextResponse into an assembly that may already have taken over.
    int32_t AwaitResponse(ResponseAssembly &assembly, int32_t *inOutSize, uint8_t *outCmd, uint8_t *outErrorFlag,
                          const int32_t *expectedSignature, uint32_t timeoutMs, const bool *stopFlag);
    // Makes the assembly the one the reader hands response blobs to (unless
    // another wait is), after it has taken those the ring holds. m_mutex held.
    void TakeOverResponses(ResponseAssembly &assembly);
    // Ends the hand-over; what is still to come of a reply in progress is
    // abandoned.
    void EndWait(ResponseAssembly &assembly);
    // Takes the blobs waiting in the response ring, oldest first, until the
    // assembly is finished or the ring is empty. m_mutex held.
    void TakeQueuedResponses(ResponseAssembly &assembly);
    // Removes the oldest blob from the ring into blob, whole (4 bytes when
    // its length byte is smaller). False when it cannot be read whole.
    bool ReadResponseBlob(uint8_t (&blob)[Blob::kMaxLength + 1]);
    GCircularBuffer *ChannelRing(int32_t channel) const;

    // Signatures of replies that a wait gave up on: what is still to come of
    // them is passed over (ResponseAssembly). Under m_mutex.
    ResponseAssembly::SignatureSet m_lateSignatures;
    // The wait that takes response blobs straight from the reader, or null.
    // Under m_mutex.
    ResponseAssembly *m_waitingAssembly = nullptr;
    // Raised by the reader when it completes the waiting assembly's reply: a
    // semaphore of at most 1, so an event that resets when a wait takes it.
    // Null when it could not be created; the wait then only polls.
    Platform::Handle m_replyCompleted = nullptr;
};
