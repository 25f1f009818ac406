// The SDP client's requests and its parser of the unit's responses: whole
// answers and answers in pieces, the forms of UUID a unit may use, records
// that are not the serial port, and the ways a response can be broken.
#include "Posix/SdpQuery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Seq(std::initializer_list<Bytes> items) {
    const Bytes body = Join(items);
    return Join({{0x35, static_cast<uint8_t>(body.size())}, body});
}
Bytes U8(uint8_t value) {
    return {0x08, value};
}
Bytes U16(uint16_t value) {
    return {0x09, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
Bytes Uuid16(uint16_t value) {
    return {0x19, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
Bytes Uuid128(uint16_t value) {
    return {0x1C,
            0x00,
            0x00,
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value),
            0x00,
            0x00,
            0x10,
            0x00,
            0x80,
            0x00,
            0x00,
            0x80,
            0x5F,
            0x9B,
            0x34,
            0xFB};
}

// A record of the service class `serviceClass` on RFCOMM `channel`.
Bytes Record(uint16_t serviceClass, uint8_t channel, Bytes (*uuid)(uint16_t) = &Uuid16) {
    return Seq({U16(0x0001), Seq({uuid(serviceClass)}), U16(0x0004),
                Seq({Seq({uuid(0x0100)}), Seq({uuid(0x0003), U8(channel)})})});
}

Bytes Response(uint16_t transaction, const Bytes &lists, const Bytes &continuation = {}) {
    const size_t length = 2 + lists.size() + 1 + continuation.size();
    return Join({{0x07, static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction),
                  static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                  static_cast<uint8_t>(lists.size() >> 8), static_cast<uint8_t>(lists.size())},
                 lists,
                 {static_cast<uint8_t>(continuation.size())},
                 continuation});
}

// Asks once, then hands over the responses in turn; the last result.
SdpParse AskAndTake(SdpSerialPortQuery &query, const std::vector<Bytes> &responses) {
    SdpParse result = SdpParse::Invalid;
    for (const Bytes &response : responses) {
        query.NextRequest();
        result = query.Take(response.data(), response.size());
    }
    return result;
}

} // namespace

TEST(SdpQuery, FindsTheSerialPortsChannelInEveryFormAUnitMayUse) {
    const Bytes serial = Record(0x1101, 3);
    const struct {
        const char *what;
        Bytes lists;
        uint8_t channel;
    } cases[] = {
        {"one record", Seq({serial}), 3},
        {"128-bit UUIDs", Seq({Record(0x1101, 7, &Uuid128)}), 7},
        {"another service first", Seq({Record(0x1103, 9), serial}), 3},
        {"a record without protocols", Seq({Seq({U16(0x0001), Seq({Uuid16(0x1101)})}), serial}), 3},
        {"no record at all", Seq({}), 0},
        {"only other services", Seq({Record(0x1200, 2)}), 0},
        {"channel 0 is no channel", Seq({Record(0x1101, 0)}), 0},
        {"channel 31 is no channel", Seq({Record(0x1101, 31)}), 0},
    };
    for (const auto &c : cases) {
        SdpSerialPortQuery query(0x4000);
        EXPECT_EQ(AskAndTake(query, {Response(0x4000, c.lists)}), SdpParse::Valid) << c.what << ": " << query.Problem();
        EXPECT_EQ(query.Channel(), c.channel) << c.what;
    }
}

TEST(SdpQuery, JoinsAnAnswerInPiecesAndEchoesTheContinuationState) {
    const Bytes lists = Seq({Record(0x1103, 9, &Uuid128), Record(0x1101, 5, &Uuid128)});
    SdpSerialPortQuery query(7);
    const Bytes first = query.NextRequest();
    EXPECT_EQ(first.back(), 0) << "no continuation state in the first request";
    size_t at = 0;
    for (uint16_t transaction = 7;; ++transaction) {
        const size_t piece = std::min<size_t>(11, lists.size() - at);
        const Bytes part(lists.begin() + at, lists.begin() + at + piece);
        at += piece;
        const Bytes state = at < lists.size() ? Bytes{0xA5, static_cast<uint8_t>(at)} : Bytes{};
        const Bytes response = Response(transaction, part, state);
        const SdpParse result = query.Take(response.data(), response.size());
        if (at == lists.size()) {
            ASSERT_EQ(result, SdpParse::Valid) << query.Problem();
            break;
        }
        ASSERT_EQ(result, SdpParse::NeedMore) << query.Problem();
        const Bytes next = query.NextRequest();
        EXPECT_EQ(next[1] << 8 | next[2], transaction + 1);
        EXPECT_EQ(Bytes(next.end() - 3, next.end()), Join({{2}, state}));
        EXPECT_EQ((next[3] << 8 | next[4]) + 5, static_cast<int>(next.size()));
    }
    EXPECT_EQ(query.Channel(), 5);
}

TEST(SdpQuery, RefusesBrokenAndForeignResponses) {
    const Bytes lists = Seq({Record(0x1101, 3)});
    const Bytes good = Response(1, lists);
    auto with = [&](size_t index, uint8_t value) {
        Bytes changed = good;
        changed[index] = value;
        return changed;
    };
    const struct {
        const char *what;
        Bytes response;
    } cases[] = {
        {"an error response", {0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03}},
        {"another transaction", Response(2, lists)},
        {"another PDU type", with(0, 0x05)},
        {"a length field too long", with(4, static_cast<uint8_t>(good[4] + 1))},
        {"a header cut short", {0x07, 0x00, 0x01, 0x00}},
        {"lists longer than the PDU", with(6, static_cast<uint8_t>(good[6] + 1))},
        {"a continuation state over 16 bytes", Response(1, lists, Bytes(17, 1))},
        {"a sequence running past the lists", Response(1, {0x35, 0x05, 0x09, 0x00, 0x01})},
        {"bytes after the lists", Response(1, Join({lists, {0x08, 0x01}}))},
        {"an attribute ID that is not 16 bits", Response(1, Seq({Seq({U8(1), Seq({Uuid16(0x1101)})})}))},
        {"a record that is not a sequence", Response(1, Seq({U16(1)}))},
        {"a UUID of 8 bytes", Response(1, Seq({Seq({U16(0x0001), Seq({{0x1B, 0, 0, 0, 0, 0, 0, 0x11, 0x01}})})}))},
        {"an attribute without a value", Response(1, Seq({Seq({U16(0x0001)})}))},
        {"no lists at all", Response(1, {})},
    };
    for (const auto &c : cases) {
        SdpSerialPortQuery query(1);
        EXPECT_EQ(AskAndTake(query, {c.response}), SdpParse::Invalid) << c.what;
        EXPECT_FALSE(query.Problem().empty()) << c.what;
    }

    // A response nobody asked for, and a server that never finishes.
    SdpSerialPortQuery unasked(1);
    EXPECT_EQ(unasked.Take(good.data(), good.size()), SdpParse::Invalid);
    SdpSerialPortQuery endless(1);
    SdpParse result = SdpParse::NeedMore;
    for (uint16_t transaction = 1; result == SdpParse::NeedMore; ++transaction)
        result = AskAndTake(endless, {Response(transaction, {}, {0x01})});
    EXPECT_EQ(result, SdpParse::Invalid);
}
