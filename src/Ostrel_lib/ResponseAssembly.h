// One wait's reassembly of a response from the unit's response blobs, taken
// in arrival order: a single error blob, or a first blob, any middle blobs and
// a last blob, whose payloads are concatenated into the caller's buffer up to
// its capacity (the excess is dropped, the response still succeeds).
//
// Abandoned replies. A wait that gives up on a reply (time-out, stop flag, a
// broken sequence) leaves whatever is still to come of it on the wire. Its
// signature is marked in the owner's abandoned set, and blobs that carry a
// marked signature are passed over as late replies: a continuation blob
// (neither first nor error) that arrives while no reply is in progress, and,
// when the wait expects a signature of its own, any blob of another marked
// reply. Once a reply has begun, a blob with another signature is not part
// of it either: passed over (its reply marked, when more is to come of it),
// except a first blob of an unmarked reply, which means two replies overlap
// and fails the wait. A mark goes when the last or error blob of its reply
// has been passed over, or when the rolling counter brings the signature
// round again.
//
// Not locked: the owner feeds it and reads it under one lock.
#pragma once

#include <bitset>
#include <cstdint>

class ResponseAssembly {
  public:
    using SignatureSet = std::bitset<256>;

    // dst may be null (nothing is copied); expectedSignature may be null (any
    // signature). The abandoned set must outlive the assembly.
    ResponseAssembly(uint8_t *dst, int32_t capacity, const int32_t *expectedSignature, SignatureSet &abandoned);

    // Takes one whole blob of a response class as the reader cut it: its
    // length byte, or 4 bytes when that is smaller. Ignored once finished.
    void Take(const uint8_t *blob);
    // The blob could not be read whole: the wait fails.
    void Fail();
    // The wait ends before the response did: what is still to come of the
    // reply in progress is abandoned.
    void Abandon();

    bool Finished() const { return m_state != State::Collecting; }
    bool Complete() const { return m_state == State::Complete; }
    // Payload bytes stored in dst.
    int32_t Stored() const { return m_stored; }
    // The command echo and signature of the response's first or error blob,
    // once one was taken.
    bool HasHeader() const { return m_hasHeader; }
    uint8_t Cmd() const { return m_cmd; }
    uint8_t Signature() const { return m_signature; }
    // The unit reported that the command failed (an error blob).
    bool ErrorFlag() const { return m_errorFlag; }

  private:
    enum class State { Collecting, Complete, Failed };

    // A blob to pass over: of a reply given up on, or, once this reply has
    // begun, of any other reply (but a first blob of one nobody gave up on).
    bool IsPassedOver(uint8_t type, uint8_t signature) const;
    void TakeHeader(const uint8_t *blob);
    void Append(const uint8_t *payload, int32_t size);

    uint8_t *m_dst;
    int32_t m_capacity;
    const int32_t *m_expectedSignature;
    SignatureSet &m_abandoned;

    State m_state = State::Collecting;
    bool m_seenFirst = false;
    bool m_hasHeader = false;
    bool m_errorFlag = false;
    int32_t m_stored = 0;
    uint8_t m_cmd = 0;
    uint8_t m_signature = 0;
};
