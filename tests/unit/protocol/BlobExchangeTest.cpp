// Commands and their responses: framing of what is sent, pairing of what
// comes back, and every way an exchange fails.
#include "ProtocolTestSupport.h"

namespace {

using namespace protocol_test;

TEST(BlobSourceConstruction, StartsWithTheDocumentedDefaults) {
    TestBlobSource source;
    EXPECT_EQ(0xFF, source.m_rollingCounter);
    EXPECT_TRUE(source.m_ioTraceEnabled);
    EXPECT_EQ(40000, source.m_channelCapacity);
    EXPECT_EQ(1, source.m_numChannels);
    EXPECT_FALSE(source.IsMeasuring());
    EXPECT_EQ(L"Pellucor", source.GetDisplayName());
    EXPECT_DOUBLE_EQ(0.001, source.Op30(0, 0, 0, 0));
    // No port: the attach result comes back and no device exists.
    GPortRef empty;
    EXPECT_EQ(0, source.Open(&empty));
    EXPECT_EQ(nullptr, source.m_device);
    EXPECT_EQ(L"Pellucor", source.GetDisplayName());
    EXPECT_EQ(-1, source.SendCmd(0x18, nullptr, 0, nullptr));
}

class BlobExchange : public SimulatedUnitTest {};

TEST_F(BlobExchange, InitAndStartCommandsGoOutByteExact) {
    auto fresh = std::make_unique<TestBlobSource>();
    GPortRef port2 = scope.PortOf(*scope.AddUnit("777"));
    ASSERT_EQ(0, fresh->Open(&port2));
    TraceCapture trace;
    int32_t signature = -1;
    ASSERT_EQ(0, fresh->SendCmd(0x18, nullptr, 0, &signature));
    EXPECT_EQ(0xFF, signature);
    EXPECT_TRUE(fresh->IsMeasuring());
    EXPECT_EQ((Bytes{0x40, 0x05, 0xFF, 0x5C, 0x18}), Drain(fresh->m_outputTraceBuffer));
    EXPECT_TRUE(trace.Contains(L") : Blob cmd sent: 18h ; length = 5h ; rolling counter = ffh \n"));
    ASSERT_EQ(0, fresh->SendCmdAndGetResponse(0x1A, Bytes(3, 1).data(), 3, nullptr, nullptr, kPatienceMs, nullptr));
    EXPECT_FALSE(fresh->IsMeasuring());
    const Bytes init = Drain(fresh->m_outputTraceBuffer);
    ASSERT_EQ(25u, init.size());
    EXPECT_EQ(0x19, init[1]);
    EXPECT_EQ(0xFE, init[2]);
    EXPECT_EQ(Bytes(Blob::kInitCommandPattern, Blob::kInitCommandPattern + 20), Bytes(init.begin() + 5, init.end()));
}

TEST_F(BlobExchange, CounterCountsDownAndWraps) {
    const uint8_t first = source->m_rollingCounter;
    for (int i = 0; i < 257; ++i) {
        int32_t signature = -1;
        ASSERT_EQ(0, source->SendCmd(0x1C, nullptr, 0, &signature));
        EXPECT_EQ(static_cast<uint8_t>(first - i), signature);
    }
    EXPECT_EQ(0xFE, first); // the init took 0xFF
}

TEST_F(BlobExchange, ParameterLimitIsTwoHundredFifty) {
    const Bytes params(251, 0xFF);
    const uint8_t counter = source->m_rollingCounter;
    const uint64_t before = unit->TotalCommands() + unit->RejectedCount();
    EXPECT_EQ(-1, source->SendCmd(0x30, params.data(), 251, nullptr));
    EXPECT_EQ(-1, source->SendCmd(0x30, params.data(), -1, nullptr));
    EXPECT_EQ(counter, source->m_rollingCounter);
    ASSERT_EQ(0, source->SendCmd(0x30, params.data(), 250, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return unit->TotalCommands() + unit->RejectedCount() == before + 1; }));
    EXPECT_EQ(255u, unit->LastCommand().size());
}

TEST_F(BlobExchange, MultiBlobPayloadBeyondCapacityIsCut) {
    uint8_t dst[300] = {};
    int32_t size = 50;
    const uint8_t request[7] = {0xFF, 0x10, 0, 0, 0, 44, 1}; // 300 bytes from 0x10
    ASSERT_EQ(0, source->SendCmdAndGetResponse(0x27, request, 7, dst, &size, kPatienceMs, nullptr));
    EXPECT_EQ(50, size);
    const std::vector<uint8_t> memory = unit->Memory();
    EXPECT_TRUE(std::equal(dst, dst + 50, memory.begin() + 0x10));
    EXPECT_EQ(0, dst[50]);
    // Nothing of that response is left behind.
    EXPECT_EQ(0, source->ResponseBytes());
    // No size: nothing copied, still a success.
    ASSERT_EQ(0, source->SendCmdAndGetResponse(0x27, request, 7, nullptr, nullptr, kPatienceMs, nullptr));
}

TEST_F(BlobExchange, TimeOutFailsAfterTheWait) {
    TraceCapture trace;
    unit->DropNextResponse();
    int32_t size = 4;
    uint8_t dst[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, dst, &size, kQuietMs, nullptr));
    // Slack for a coarse tick count.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kQuietMs / 2));
    EXPECT_EQ(0, size);
    EXPECT_TRUE(trace.Contains(L") : Timed out waiting for blob command response.\n"));
    EXPECT_TRUE(trace.Contains(L"Error waiting for response to 1ch blob cmd.\n"));
    // A raised stop flag ends the wait without the time-out trace.
    trace.Clear();
    unit->DropNextResponse();
    const bool stop = true;
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, dst, &size, kPatienceMs, &stop));
    EXPECT_FALSE(trace.Contains(L"Timed out"));
}

TEST_F(BlobExchange, ErrorBlobFailsTheExchangeButNotTheWait) {
    TraceCapture trace;
    unit->ErrorOnNextCommand();
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    EXPECT_TRUE(trace.Contains(L"Blob device reported an error over the wire. cmd sent = 1ch. cmd returned = 1ch.\n"));

    unit->ErrorOnNextCommand();
    int32_t signature = -1;
    ASSERT_EQ(0, source->SendCmd(0x1C, nullptr, 0, &signature));
    uint8_t dst[8] = {};
    int32_t size = 8;
    uint8_t cmd = 0, error = 0;
    EXPECT_EQ(0, source->GetNextResponse(dst, &size, &cmd, &error, &signature, kPatienceMs, nullptr));
    EXPECT_EQ(1, error);
    EXPECT_EQ(0x1C, cmd);
    ASSERT_EQ(1, size);
    EXPECT_EQ(static_cast<uint8_t>(sim::SimError::Injected), dst[0]);
}

TEST_F(BlobExchange, CommandEchoMustMatch) {
    TraceCapture trace;
    unit->SetDropResponsesTo(0x1C, true);
    // An answer to another command carrying the next signature.
    source->Feed(Response(0x98, 0x1B, source->m_rollingCounter));
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    EXPECT_TRUE(trace.Contains(L"Blob device reported cmd response mismatch. cmd sent = 1ch. cmd returned = 1bh.\n"));
}

TEST_F(BlobExchange, LateAnswerOfAFailedExchangeDoesNotFailTheNextOne) {
    // Answered too late for its own exchange...
    unit->DelayNextResponse(300);
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, 20, nullptr));
    const uint8_t failed = static_cast<uint8_t>(source->m_rollingCounter + 1);
    ASSERT_TRUE(WaitUntil([&] { return source->ResponseBytes() > 0; }));
    // ...and passed over by the next one, which nobody abandoned.
    TraceCapture trace;
    uint8_t period[4] = {};
    int32_t size = 4;
    EXPECT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, period, &size, kPatienceMs, nullptr));
    EXPECT_EQ(unit->PeriodTicks(), GetLittleEndian32(period));
    std::wostringstream expected;
    expected << L"Late blob cmd response discarded: signature = " << std::hex << unsigned(failed) << L"h \n";
    EXPECT_TRUE(trace.Contains(expected.str()));
    EXPECT_EQ(0, source->ResponseBytes());
}

TEST_F(BlobExchange, BlobsAfterAWholeReplyDoNotFailTheNextExchange) {
    for (const Bytes &stray : {Response(0x80, 0x1C, 0, {1, 2}), Response(0x98, 0x1C, 0, {1, 2, 3, 4})}) {
        const uint8_t answered = source->m_rollingCounter;
        ASSERT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
        // After the last blob, a middle one or the whole reply again.
        Bytes late = stray;
        late[Blob::kResponseSignatureOffset] = answered;
        late[Blob::kChecksumOffset] = BlobChecksum(late.data());
        source->Feed(late);
        uint8_t period[4] = {};
        int32_t size = 4;
        EXPECT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, period, &size, kPatienceMs, nullptr));
        EXPECT_EQ(unit->PeriodTicks(), GetLittleEndian32(period));
        EXPECT_EQ(0, source->ResponseBytes());
    }
}

TEST_F(BlobExchange, LeftOverResponseFailsOneExchangeThenItRecovers) {
    // Nobody waits for this answer...
    ASSERT_EQ(0, source->SendCmd(0x1C, nullptr, 0, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return source->ResponseBytes() > 0; }));
    // ...so it answers the next exchange, which fails on its signature.
    TraceCapture trace;
    const uint8_t next = source->m_rollingCounter;
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    std::wostringstream expected;
    expected << L"Blob cmd response signature did not match: expected signature = " << std::hex << unsigned(next)
             << L"h ; received signature = " << unsigned(static_cast<uint8_t>(next + 1)) << L"h \n";
    EXPECT_TRUE(trace.Contains(expected.str()));
    // The failed exchange's own answer does not fail the one after it.
    for (int i = 0; i < 3; ++i) {
        uint8_t period[4] = {};
        int32_t size = 4;
        EXPECT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, period, &size, kPatienceMs, nullptr)) << i;
        EXPECT_EQ(unit->PeriodTicks(), GetLittleEndian32(period));
    }
    EXPECT_EQ(0, source->ResponseBytes());
}

TEST_F(BlobExchange, GarbageAndStrayBlobsAroundTheProtocol) {
    // Garbage before the init response.
    unit->SetGarbageBeforeInit({0xA0, 0x1A, 0x00, 0x55, 0xAA, 0xB8, 0x1A});
    ASSERT_EQ(0, source->SendCmdAndGetResponse(0x1A, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    // An unknown class before a response is traced and passed over.
    TraceCapture trace;
    unit->InjectBlobBeforeNextResponse(0x60);
    EXPECT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    EXPECT_TRUE(trace.Contains(L"Unrecognized blob received: type = 60h ; length = 8h\n"));
    // A corrupted response is lost; the framing holds for the next one.
    unit->CorruptChecksumOfBlob(1);
    EXPECT_EQ(-1, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kQuietMs, nullptr));
    EXPECT_TRUE(trace.Contains(L"Input blob discarded because of bad checksum."));
    EXPECT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
}

// GetNextResponse over hand-built responses in the ring.
class BlobResponseAssembly : public ::testing::Test {
  protected:
    void SetUp() override {
        source.AttachWithoutDevice();
        source.Synchronise();
    }
    int32_t Next(int32_t capacity = 64, const int32_t *expected = nullptr) {
        size = capacity;
        std::fill(std::begin(dst), std::end(dst), 0);
        return source.GetNextResponse(dst, &size, &cmd, &error, expected, kQuietMs, nullptr);
    }
    TestBlobSource source;
    uint8_t dst[64] = {};
    int32_t size = 0;
    uint8_t cmd = 0, error = 0;
};

TEST_F(BlobResponseAssembly, BlobsOfOneResponseAreConcatenated) {
    source.Feed(Concat({Response(0x88, 0x27, 5, {1, 2}), Response(0x80, 0x27, 5, {3}), Response(0x90, 0x27, 5, {4})}));
    const int32_t expected = 5;
    ASSERT_EQ(0, Next(3, &expected));
    EXPECT_EQ(3, size); // the fourth byte is beyond the capacity
    EXPECT_EQ((Bytes{1, 2, 3, 0}), Bytes(dst, dst + 4));
    EXPECT_EQ(0x27, cmd);
    EXPECT_EQ(0, source.ResponseBytes());
}

TEST_F(BlobResponseAssembly, BrokenSequencesFail) {
    // A second first blob.
    source.Feed(Concat({Response(0x88, 0x27, 5, {1}), Response(0x88, 0x27, 6, {2}), Response(0x90, 0x27, 6, {3})}));
    EXPECT_EQ(-1, Next());
    EXPECT_EQ(1, size);
    // The failed wait leaves the later blob in the ring.
    EXPECT_EQ(Response(0x90, 0x27, 6, {3}), Drain(source.m_responseBuffer));
    // A middle or last blob without a first.
    source.Feed(Response(0x80, 0x27, 8, {1}));
    EXPECT_EQ(-1, Next());
    source.Feed(Response(0x90, 0x27, 10, {1}));
    EXPECT_EQ(-1, Next());
    // What is still to come of the replies given up on above is passed over.
    source.Feed(Concat({Response(0x80, 0x27, 5, {1}), Response(0x90, 0x27, 8, {2}), Response(0x98, 0x1C, 11, {3})}));
    ASSERT_EQ(0, Next());
    EXPECT_EQ((Bytes{3}), Bytes(dst, dst + size));
    // A response header too short to hold the signature goes whole, and the
    // ring still starts at a blob.
    source.Feed(Concat({MakeBlob(0x98, {0x1C}), Response(0x98, 0x1C, 9, {7})}));
    TraceCapture trace;
    EXPECT_EQ(-1, Next());
    EXPECT_TRUE(trace.Contains(L"Reported blob length is too small for cmd response header!"));
    EXPECT_EQ(7, source.ResponseBytes());
    ASSERT_EQ(0, Next());
    EXPECT_EQ((Bytes{7}), Bytes(dst, dst + size));
}

TEST_F(BlobResponseAssembly, ErrorBlobEndsTheResponseAndReplacesItsPayload) {
    source.Feed(Concat({Response(0x88, 0x27, 5, {1, 2, 3}), Response(0x84, 0x27, 5, {0xE1})}));
    ASSERT_EQ(0, Next());
    EXPECT_EQ(1, error);
    EXPECT_EQ(1, size);
    EXPECT_EQ(0xE1, dst[0]);
    // Without an expected signature any signature is accepted; with one it must match.
    source.Feed(Concat({Response(0x98, 0x1C, 0x77), Response(0x98, 0x1C, 0x77)}));
    EXPECT_EQ(0, Next());
    const int32_t other = 0x78;
    EXPECT_EQ(-1, Next(64, &other));
}

// A reply given up on (signature 5) goes on arriving after the next reply
// (signature 6) has begun; so may a stray blob of a reply nobody asked for
// (signature 7). Neither is part of the reply in progress. Only a first blob
// of an unknown reply still breaks it (BrokenSequencesFail).
TEST_F(BlobResponseAssembly, BlobsOfOtherRepliesAreNotPartOfTheOneInProgress) {
    const int32_t abandoned = 5, own = 6;
    for (const Bytes &stray : {Response(0x80, 0x27, 5, {9}), Response(0x90, 0x27, 5, {9}), Response(0x84, 0x27, 5, {9}),
                               Response(0x88, 0x27, 5, {9}), Response(0x98, 0x27, 5, {9}), Response(0x80, 0x27, 7, {9}),
                               Response(0x90, 0x27, 7, {9}), Response(0x84, 0x27, 7, {9})}) {
        source.Feed(Response(0x88, 0x27, 5, {1}));
        ASSERT_EQ(-1, Next(64, &abandoned)); // its last blob is late
        source.Feed(Concat({Response(0x88, 0x27, 6, {2}), stray, Response(0x90, 0x27, 6, {3})}));
        ASSERT_EQ(0, Next(64, &own)) << int(stray[0]) << " " << int(stray[5]);
        EXPECT_EQ((Bytes{2, 3}), Bytes(dst, dst + size)) << int(stray[0]) << " " << int(stray[5]);
        EXPECT_EQ(0, error);
        EXPECT_EQ(0, source.ResponseBytes());
    }
    // What comes later of a stray reply passed over is passed over too: its
    // last blob does not fail the next wait.
    source.Feed(Concat({Response(0x88, 0x27, 6, {2}), Response(0x80, 0x27, 7, {9}), Response(0x90, 0x27, 6, {3})}));
    ASSERT_EQ(0, Next(64, &own));
    const int32_t next = 8;
    source.Feed(Concat({Response(0x90, 0x27, 7, {9}), Response(0x98, 0x27, 8, {4})}));
    ASSERT_EQ(0, Next(64, &next));
    EXPECT_EQ((Bytes{4}), Bytes(dst, dst + size));
}

TEST_F(BlobResponseAssembly, FullRingDropsWholeOldestResponses) {
    // Lengths vary so that dropping bytes instead of blobs would cut one.
    int32_t bytes[2000];
    for (int i = 0; i < 2000; ++i) {
        Bytes payload = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
        payload.resize(2 + i % 7, 0xEE);
        source.Feed(Response(0x98, 0x1C, static_cast<uint8_t>(i), payload));
        bytes[i] = 8 + i % 7;
    }
    int32_t held = source.ResponseBytes();
    EXPECT_GT(held, GMBLBlobSource::kResponseRingCapacity - 14);
    int first = 2000;
    for (int32_t sum = 0; sum < held; sum += bytes[--first]) {
    }
    for (int expected = first; expected < 2000; ++expected) {
        ASSERT_EQ(0, Next());
        ASSERT_EQ(2 + expected % 7, size);
        ASSERT_EQ(expected, dst[0] | dst[1] << 8);
    }
    EXPECT_EQ(0, source.ResponseBytes());
}

} // namespace
