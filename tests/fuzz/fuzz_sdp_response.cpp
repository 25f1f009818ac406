// libFuzzer target: the SDP client's parser of a unit's responses. The first
// byte picks the mode:
//   even  raw PDUs as a unit might send them, one after the other (each a
//         2-byte length and its bytes), optionally with the transaction and
//         length fields made right so that the fuzzer reaches the body;
//   odd   a well-formed answer built from the input (records of the serial
//         port or other services, UUIDs in any of their forms, channels in
//         and out of range, other attributes) and cut into responses of any
//         sizes with continuation states of any bytes.
// Each PDU lives in an allocation of exactly its size, so a read past it is
// a sanitizer report. Checked: every result is one of the three; a refusal
// says why; a channel is 0 or 1 to 30; every request that follows a
// NeedMore has a consistent length, the next transaction and the
// continuation state just received; a well-formed answer, however cut, gives
// the channel of its first serial-port record with a valid channel.
#include "FuzzSupport.h"

#include "Posix/SdpQuery.h"

#include <memory>

using namespace fuzz;

namespace {

uint16_t Be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

Bytes Join(Bytes first, const Bytes &second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

void PutBe16(Bytes &out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// The request's own fields hold together; after a NeedMore it carries the
// continuation state just received.
void CheckRequest(const Bytes &request, const Bytes *continuation, uint16_t transaction) {
    Require(request.size() >= 6 && request[0] == 0x06, "a request is a ServiceSearchAttributeRequest");
    Require(Be16(&request[3]) + 5u == request.size(), "a request's length field is its length");
    Require(Be16(&request[1]) == transaction, "each request has the next transaction");
    if (continuation != nullptr) {
        Require(request.size() >= continuation->size() + 1 &&
                    request[request.size() - continuation->size() - 1] == continuation->size() &&
                    std::equal(continuation->begin(), continuation->end(), request.end() - continuation->size()),
                "a request carries the continuation state it was given");
    }
}

// Hands one PDU to the query in an allocation of its exact size.
SdpParse Feed(SdpSerialPortQuery &query, const Bytes &pdu) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[pdu.size() + 1]);
    std::copy(pdu.begin(), pdu.end(), exact.get());
    const SdpParse result = query.Take(pdu.empty() ? nullptr : exact.get(), pdu.size());
    Require(result == SdpParse::Invalid || result == SdpParse::NeedMore || result == SdpParse::Valid,
            "a result is one of the three");
    Require(result != SdpParse::Invalid || !query.Problem().empty(), "a refusal says why");
    Require(result != SdpParse::Valid || query.Channel() <= 30, "a channel is 0 or 1 to 30");
    return result;
}

// The continuation state a response ends with, when its fields say so.
Bytes ContinuationOf(const Bytes &pdu) {
    const size_t count = Be16(&pdu[5]);
    return Bytes(pdu.begin() + 5 + 3 + count, pdu.end());
}

void RawPdus(Input &in, uint8_t mode) {
    const uint16_t first = in.U16();
    SdpSerialPortQuery query(first);
    uint16_t transaction = first;
    Bytes continuation;
    for (int round = 0; !in.Empty(); ++round) {
        const Bytes request = query.NextRequest();
        CheckRequest(request, round > 0 ? &continuation : nullptr, transaction);
        Bytes pdu = in.Take(in.U16() % (SdpSerialPortQuery::kMaxPduSize + 2));
        if ((mode & 2) && pdu.size() >= 3) {
            pdu[1] = request[1];
            pdu[2] = request[2];
        }
        if ((mode & 4) && pdu.size() >= 5) {
            pdu[3] = static_cast<uint8_t>((pdu.size() - 5) >> 8);
            pdu[4] = static_cast<uint8_t>(pdu.size() - 5);
        }
        if (Feed(query, pdu) != SdpParse::NeedMore)
            return;
        Require(round + 1 < SdpSerialPortQuery::kMaxRounds, "an answer ends within the rounds allowed");
        continuation = ContinuationOf(pdu);
        ++transaction;
    }
}

// Data elements, as a unit's server writes them.
Bytes Element(uint8_t type, const Bytes &body) {
    Bytes out = {static_cast<uint8_t>(type << 3 | 6)};
    PutBe16(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}
Bytes Uuid(Input &in, uint16_t value) {
    static const Bytes kBase = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
    const uint8_t form = in.Byte() % 3;
    Bytes out = {static_cast<uint8_t>(form == 0 ? 0x19 : form == 1 ? 0x1A : 0x1C)};
    if (form > 0)
        out.insert(out.end(), {0, 0});
    PutBe16(out, value);
    if (form == 2)
        out.insert(out.end(), kBase.begin(), kBase.end());
    return out;
}
void Attribute(Bytes &record, uint16_t id, const Bytes &value) {
    record.push_back(0x09);
    PutBe16(record, id);
    record.insert(record.end(), value.begin(), value.end());
}

void BuiltAnswer(Input &in) {
    static constexpr uint16_t kClasses[] = {0x1101, 0x1103, 0x1200, 0x1105};
    Bytes records;
    uint8_t expected = 0;
    const int count = in.Byte() % 5;
    for (int r = 0; r < count; ++r) {
        const uint8_t shape = in.Byte();
        const uint16_t serviceClass = kClasses[shape & 3];
        const uint8_t channel = in.Byte() % 34;
        Bytes record;
        if (shape & 4)
            Attribute(record, 0x0000, {0x0A, 0x00, 0x01, 0x00, static_cast<uint8_t>(r)});
        Attribute(record, 0x0001, Element(6, Uuid(in, serviceClass)));
        const bool protocols = (shape & 8) == 0;
        if (protocols) {
            Bytes l2cap = Element(6, Uuid(in, 0x0100));
            Bytes rfcomm = Uuid(in, 0x0003);
            rfcomm.insert(rfcomm.end(), {0x08, channel});
            const Bytes stack = Element(6, Join(l2cap, Element(6, rfcomm)));
            Attribute(record, 0x0004, (shape & 16) ? Element(7, stack) : stack);
        }
        if (shape & 32)
            Attribute(record, 0x0100, Element(4, in.Take(in.Byte() % 24)));
        records = Join(records, Element(6, record));
        if (expected == 0 && serviceClass == 0x1101 && protocols && channel >= 1 && channel <= 30)
            expected = channel;
    }
    const Bytes lists = Element(6, records);

    uint8_t found = 0xFF;
    Require(FindSerialPortChannel(lists.data(), lists.size(), found) == SdpParse::Valid && found == expected,
            "well-formed lists give the first serial port's channel");

    SdpSerialPortQuery query(in.U16());
    size_t at = 0;
    for (int round = 0;; ++round) {
        const Bytes request = query.NextRequest();
        const size_t piece = at < lists.size() ? std::min<size_t>(1 + in.Byte() * 4u, lists.size() - at) : 0;
        Bytes state;
        if (at + piece < lists.size())
            state = in.Take(1 + in.Byte() % 16);
        Bytes pdu = {0x07, request[1], request[2]};
        PutBe16(pdu, 2 + piece + 1 + state.size());
        PutBe16(pdu, piece);
        pdu.insert(pdu.end(), lists.begin() + at, lists.begin() + at + piece);
        pdu.push_back(static_cast<uint8_t>(state.size()));
        pdu.insert(pdu.end(), state.begin(), state.end());
        at += piece;
        const SdpParse result = Feed(query, pdu);
        if (at == lists.size()) {
            Require(result == SdpParse::Valid && query.Channel() == expected,
                    "a well-formed answer, however cut, gives the first serial port's channel");
            return;
        }
        if (round + 1 >= SdpSerialPortQuery::kMaxRounds) {
            Require(result == SdpParse::Invalid, "an answer in too many pieces is refused");
            return;
        }
        Require(result == SdpParse::NeedMore, "a piece with a continuation state asks for more");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    const uint8_t mode = in.Byte();
    if (mode & 1)
        BuiltAnswer(in);
    else
        RawPdus(in, mode);
    return 0;
}
