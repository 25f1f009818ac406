// A simulated sensor unit: the unit's side of the blob protocol, for tests,
// benchmarks and the demo. Written from the wire format alone and sharing no
// code with the host side, so that a framing fault on one side is not mirrored
// on the other.
//
// Transport. The host writes with Receive(), from any thread, in any chunking;
// the unit cuts what it receives into blobs by their length byte, starting
// with the first byte written after Connect(). Everything the unit sends goes
// out through the deliver callback, always on the unit's own delivery thread
// (as a Bluetooth stack's receive thread would), in chunks of at most
// ChunkSize() bytes, at memory speed or at the link rate set (SetLinkRate):
// a chunk is then delivered when its last byte would have crossed a serial
// link of that many bytes per second.
//
// Replies (all multi-byte fields little-endian):
//   response   [0x80|flags][len][unit counter][checksum][cmd][signature][payload <= 249]
//              flags 0x18 for a one-blob response; 0x08 first, 0x00 middle, 0x10 last
//   init       [0xB8][26][unit counter][checksum][0x1A][signature][55 AA 56 A9 ... 5E A1]
//              only to an init command of length 25 carrying 05 4A 06 49 ... 0E 41;
//              any other init is refused with an error blob (BadParameters)
//   error      [0x84][7][unit counter][checksum][cmd][signature][error code, see SimError]
//   measure    [0x20][len][unit counter][checksum][first sample index, low 16 bits]
//              [channel mask][S][2*S*N sample bytes, interleaved by sample]
// The signature is the counter byte of the command being answered. The unit's
// own counter (byte 2) counts up by one per blob sent.
//
// Streaming. After command 0x18 the unit sends, once per period, a measurement
// blob with SamplesPerBlob() samples of every channel in StreamMask(). When
// the delivery thread wakes late (short periods, a loaded machine) the overdue
// periods go out together in one blob, up to 123 / N samples per channel (the
// most a blob can hold), so the sample count per blob may exceed S; the sample
// index never skips. Each (re)start counts samples from index 0.
#pragma once

#include "SimDataSheet.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

// Payload byte of an error blob.
enum class SimError : uint8_t {
    UnknownCommand = 0x01,
    BadParameters = 0x02, // wrong parameter count or a value out of range
    BadBlock = 0x03,      // block unknown, or not writable
    BadAddress = 0x04,    // address + count beyond the block
    Injected = 0x05,      // ErrorOnNextCommand()
};

class SimUnit {
  public:
    using DeliverFn = std::function<void(const uint8_t *bytes, size_t count)>;
    using LinkClosedFn = std::function<void()>;
    using Address = std::array<uint8_t, 6>; // most significant byte first, as printed

    // Command codes the unit implements.
    static constexpr uint8_t kCmdStart = 0x18;
    static constexpr uint8_t kCmdStop = 0x19;
    static constexpr uint8_t kCmdInit = 0x1A;
    static constexpr uint8_t kCmdSetPeriod = 0x1B;
    static constexpr uint8_t kCmdGetPeriod = 0x1C;
    static constexpr uint8_t kCmdWriteNV = 0x21;
    static constexpr uint8_t kCmdReadNV = 0x27;

    static constexpr uint8_t kOwnMemoryBlock = 0xFF;
    static constexpr size_t kMemorySize = 24576;
    static constexpr size_t kMaxPayloadPerBlob = 249;
    static constexpr size_t kMaxWriteChunk = 244;
    static constexpr size_t kMaxChunkSize = 65536;      // a whole 24576-byte memory read in one delivery
    static constexpr uint32_t kDefaultPeriodTicks = 10; // ticks of 1 ms
    static constexpr uint8_t kDefaultStreamMask = 0x7E; // channels 1..6
    static constexpr const char *kNamePrefix = "QuorvelKTRX ";

    // The address defaults to 00:07:80 followed by three bytes hashed from the serial.
    explicit SimUnit(std::string serial = "12345");
    SimUnit(std::string serial, const Address &address);
    ~SimUnit(); // disconnects
    SimUnit(const SimUnit &) = delete;
    SimUnit &operator=(const SimUnit &) = delete;

    // Identity.
    const std::string &Serial() const { return m_serial; }
    std::string Name() const { return kNamePrefix + m_serial; } // the Bluetooth name
    const Address &BluetoothAddress() const { return m_address; }
    std::string AddressText() const; // "00:07:80:AB:CD:EF"

    // Transport.
    void SetDeliver(DeliverFn deliver);
    // Called on the delivery thread when the unit closes the link itself
    // (CloseLink, CloseLinkAfterBytes); not on the host's Disconnect().
    void SetLinkClosed(LinkClosedFn closed);
    // Starts the delivery thread; true when connected afterwards. Refused
    // (false) from the delivery thread itself.
    bool Connect();
    // Stops and joins the delivery thread; undelivered bytes are dropped and
    // streaming stops. Safe twice and from any thread. From the delivery thread
    // (inside a callback) it only stops: the thread is joined by the next
    // Connect(), Disconnect() or the destructor.
    void Disconnect();
    bool IsConnected() const;
    // Host to unit. False (bytes ignored) while the link is down.
    bool Receive(const uint8_t *bytes, size_t count);

    // Delivery and streaming settings.
    size_t SetChunkSize(size_t size); // clamped to 1..kMaxChunkSize, returns the size kept
    size_t ChunkSize() const;
    // Bytes per second the link carries; 0 (the default) is memory speed.
    void SetLinkRate(uint32_t bytesPerSecond);
    uint32_t LinkRate() const;
    void SetStreamMask(uint8_t mask);
    uint8_t StreamMask() const;
    void SetSamplesPerBlob(uint8_t samples); // 0 is taken as 1
    uint8_t SamplesPerBlob() const;
    // Queues `blobs` measurement blobs of SamplesPerBlob() samples at once,
    // continuing the sample index, streaming or not (throughput benchmarks).
    // Only while connected: Connect() and Disconnect() empty the output queue.
    void QueueMeasurements(uint32_t blobs);

    // Memory. Blocks 1..7 serve the data sheet of that channel.
    void SetDataSheet(int channel, const DataSheetBytes &record); // channels 1..7, others ignored
    DataSheetBytes DataSheet(int channel) const;                  // zeros outside 1..7
    std::vector<uint8_t> Memory() const;                          // block 0xFF, 24576 bytes
    static uint8_t InitialMemoryByte(uint32_t address);

    // Fault knobs; each takes effect for what the unit sends next. Settings and
    // knobs survive Disconnect/Connect; framing, output and streaming do not.
    void SetGarbageBeforeInit(std::vector<uint8_t> garbage); // sent before every init response
    void CorruptChecksumOfBlob(uint64_t n);                  // n-th blob sent from now on (1 = next); 0 cancels
    void InjectBlobBeforeNextResponse(uint8_t type = 0x60);  // a valid 8-byte blob of that type
    void DropNextResponse();                                 // every blob of it, error blobs included
    void SetDropResponsesTo(uint8_t cmd, bool drop);
    // A delayed response holds back everything queued after it (the order on the
    // wire is kept); the command itself takes effect at once.
    void DelayNextResponse(uint32_t ms);
    void SetResponseDelay(uint32_t ms); // for every response; 0 turns it off
    void ErrorOnNextCommand();          // answered with SimError::Injected, without effect
    // The host's Disconnect() of a live link takes this long, as a real
    // stack's disconnect may (seconds); 0 turns it off.
    void SetDisconnectDelay(uint32_t ms);
    void CloseLink(); // stop delivering now and report the closed link
    void CloseLinkAfterBytes(size_t bytes);
    // A unit carried out of reach: `after` from now (from the next Connect
    // when not connected) the link goes down as with CloseLink, bytes in
    // flight lost, and for `down` after that the unit is out of reach:
    // Connect fails and InReach() is false. Once; a later call replaces it.
    void DropLinkAfter(std::chrono::milliseconds after, std::chrono::milliseconds down);

    // Observation.
    uint64_t CommandCount(uint8_t cmd) const; // valid commands received, by code
    uint64_t TotalCommands() const;
    uint64_t BadChecksumCount() const;
    uint64_t RejectedCount() const;           // bad checksum, bad length or not a command blob
    uint64_t RefusedInitCount() const;        // init commands without the init pattern and length
    std::vector<uint8_t> LastCommand() const; // the last blob received, valid or not
    uint32_t PeriodTicks() const;
    bool IsStreaming() const;
    uint64_t BlobsSent() const;
    uint64_t BytesDelivered() const;
    bool LinkClosedByUnit() const;
    bool DropPending() const; // a DropLinkAfter still to come
    bool InReach() const;     // false while a drop keeps the unit away

    // The deterministic signal of each channel: a 12-bit sample word (0..4095,
    // 5 V full scale) as a function of the sample index. Channels 1 and 2 see
    // one force F = (t - 250) / 5 N, t a triangle 0..500..0 of period 1000
    // samples, through their page-0 calibrations: word = clamp(round(v * 819.2))
    // with v = (F + 10) / 4 on channel 1 and v = (F + 100) / 40 on channel 2.
    // Every other channel c (0..7) is a sawtooth: (512 c + (c + 1) i) mod 4096.
    // Outside 0..7: 0.
    static uint16_t SampleValue(int channel, uint64_t index);

  private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        std::vector<uint8_t> bytes;
        Clock::time_point due;
    };
    struct Reply {
        bool ok = true;
        SimError error = SimError::UnknownCommand; // when !ok
        std::vector<uint8_t> payload;
    };
    static Reply Ok(std::vector<uint8_t> payload = {}) {
        return Reply{true, SimError::UnknownCommand, std::move(payload)};
    }
    static Reply Fail(SimError error) { return Reply{false, error, {}}; }
    using Handler = Reply (SimUnit::*)(const uint8_t *params, size_t count);
    struct CommandEntry {
        uint8_t cmd;
        Handler handler;
    };
    static const CommandEntry kCommands[];

    // Receive side (m_mutex held).
    void AcceptBytesLocked(const uint8_t *bytes, size_t count);
    void HandleBlobLocked(const uint8_t *blob, size_t length);
    void ExecuteLocked(uint8_t cmd, uint8_t signature, const uint8_t *params, size_t count);
    Reply OnStart(const uint8_t *params, size_t count);
    Reply OnStop(const uint8_t *params, size_t count);
    Reply OnSetPeriod(const uint8_t *params, size_t count);
    Reply OnGetPeriod(const uint8_t *params, size_t count);
    Reply OnWriteNV(const uint8_t *params, size_t count);
    Reply OnReadNV(const uint8_t *params, size_t count);

    // Send side (m_mutex held).
    void SendInitResponseLocked(uint8_t signature);
    void SendInjectedLocked(uint8_t cmd, uint8_t signature, Clock::time_point due);
    void SendReplyLocked(uint8_t cmd, uint8_t signature, const Reply &reply);
    bool ResponseDroppedLocked(uint8_t cmd);
    Clock::time_point ResponseDueLocked();
    void SendBlobLocked(uint8_t *blob, size_t length, Clock::time_point due);
    void EnqueueLocked(const uint8_t *bytes, size_t count, Clock::time_point due);
    void SendMeasurementLocked(uint32_t samples);
    uint32_t MaxSamplesPerBlobLocked() const;
    void StopStreamingLocked();
    void ClearOutputLocked();
    void StopLinkLocked();

    // Delivery thread.
    void DeliveryLoop();
    void ReleaseDueLocked(Clock::time_point now);
    void StreamDueLocked(Clock::time_point now);
    Clock::time_point NextWakeLocked() const;
    size_t ReadyBytesLocked() const { return m_ready.size() - m_readyPos; }
    bool OnDeliveryThreadLocked() const;
    // When a chunk of n bytes taken now has crossed the link at m_linkRate.
    Clock::time_point LinkArrivalLocked(size_t n, Clock::time_point now) const;
    void CloseFromDeliveryThread(std::unique_lock<std::mutex> &lock);
    bool DropDueLocked(Clock::time_point now) const { return m_dropPending && m_connected && m_dropAt <= now; }

    const std::string m_serial;
    const Address m_address;

    std::mutex m_lifecycleMutex; // serialises Connect and Disconnect; guards m_thread
    std::thread m_thread;

    mutable std::mutex m_mutex; // everything below
    std::condition_variable m_wake;
    std::shared_ptr<const DeliverFn> m_deliver;
    std::shared_ptr<const LinkClosedFn> m_linkClosed;
    std::thread::id m_deliveryThreadId;
    bool m_connected = false;
    bool m_stop = false;
    bool m_closedByUnit = false;
    bool m_closePending = false;
    uint64_t m_bytesTaken = 0; // taken from the queue for delivery, the chunk in flight included
    uint64_t m_closeAt = 0;    // value of m_bytesTaken at which a pending close happens
    bool m_dropPending = false;
    std::chrono::milliseconds m_dropAfter{0};
    std::chrono::milliseconds m_dropDown{0};
    Clock::time_point m_dropAt{};    // while connected with a drop pending
    Clock::time_point m_awayUntil{}; // out of reach before this

    std::array<uint8_t, 256> m_rx{};
    size_t m_rxCount = 0;

    std::vector<uint8_t> m_ready; // bytes ready to deliver, from m_readyPos
    size_t m_readyPos = 0;
    std::deque<Pending> m_delayed; // in order; holds everything behind a delayed response
    size_t m_chunkSize = 64;
    uint32_t m_linkRate = 0;          // bytes per second; 0: memory speed
    Clock::time_point m_linkFreeAt{}; // when the last chunk taken has crossed the link
    uint8_t m_txCounter = 0;

    std::vector<uint8_t> m_memory;
    std::array<DataSheetBytes, 8> m_dataSheets{};

    uint32_t m_periodTicks = kDefaultPeriodTicks;
    bool m_streaming = false;
    Clock::time_point m_nextSampleDue{};
    uint64_t m_sampleIndex = 0;
    uint8_t m_streamMask = kDefaultStreamMask;
    uint8_t m_samplesPerBlob = 1;

    std::vector<uint8_t> m_garbageBeforeInit;
    uint64_t m_corruptBlobAt = 0; // value of m_blobsSent that gets a bad checksum
    bool m_injectBlob = false;
    uint8_t m_injectType = 0x60;
    bool m_dropNext = false;
    std::array<bool, 256> m_dropCmd{};
    uint32_t m_delayNextMs = 0;
    uint32_t m_delayAllMs = 0;
    uint32_t m_disconnectDelayMs = 0;
    bool m_errorNext = false;

    std::array<uint64_t, 256> m_commandCounts{};
    uint64_t m_badChecksums = 0;
    uint64_t m_rejected = 0;
    uint64_t m_refusedInits = 0;
    std::vector<uint8_t> m_lastCommand;
    uint64_t m_blobsSent = 0;
    uint64_t m_bytesDelivered = 0;
};

} // namespace sim
