// The library's own SDP client, without I/O: the requests that ask a unit for
// its serial-port record (one ServiceSearchAttributeRequest, repeated with
// the server's continuation state until the answer is whole) and the parser
// of the responses, which come from the unit and so are outside bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A response taken: broken or refused (Invalid), to be continued with the
// next request (NeedMore), or whole and read (Valid).
enum class SdpParse { Invalid, NeedMore, Valid };

// The RFCOMM channel of the first record in these attribute lists (the
// AttributeLists of a whole ServiceSearchAttributeResponse) whose service
// classes hold the serial port; 0 when no record does. Invalid when the
// lists are not well-formed data elements.
SdpParse FindSerialPortChannel(const uint8_t *lists, size_t size, uint8_t &channel);

class SdpSerialPortQuery {
  public:
    // What the client reads of a single response PDU at most, and of the
    // answer as a whole: a unit's few records fit many times over.
    static constexpr size_t kMaxPduSize = 4096;
    static constexpr size_t kMaxAnswerSize = 65536;
    static constexpr int kMaxRounds = 64;

    explicit SdpSerialPortQuery(uint16_t firstTransaction = 1) : m_transaction(firstTransaction) {}

    // The request to send now: the first, or after NeedMore the next one,
    // which carries the continuation state.
    std::vector<uint8_t> NextRequest();
    // One response PDU as received, for the last request made.
    SdpParse Take(const uint8_t *pdu, size_t size);

    // After Valid: the serial port's RFCOMM channel (1 to 30), or 0 when
    // the unit has no serial-port record.
    uint8_t Channel() const { return m_channel; }
    // After Invalid: why, for the trace.
    const std::string &Problem() const { return m_problem; }

  private:
    SdpParse Fail(const std::string &problem);

    uint16_t m_transaction;
    std::vector<uint8_t> m_continuation;
    std::vector<uint8_t> m_lists;
    int m_rounds = 0;
    bool m_requested = false;
    uint8_t m_channel = 0;
    std::string m_problem;
};
