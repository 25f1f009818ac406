// The reader thread filing while host threads read, clear and wait. Run under
// ThreadSanitizer as well.
#include "ProtocolTestSupport.h"

#include <atomic>

namespace {

using namespace protocol_test;

// Every batch read from a ring is a contiguous run of what was filed: the
// reader files each blob in one write and clearing empties whole rings.
::testing::AssertionResult Contiguous(const int32_t *values, int32_t n, int32_t step, int32_t modulus) {
    for (int32_t i = 1; i < n; ++i)
        if (values[i] != (values[i - 1] + step) % modulus)
            return ::testing::AssertionFailure() << "value " << values[i] << " after " << values[i - 1];
    return ::testing::AssertionSuccess();
}

TEST(BlobSourceConcurrency, ReaderFilesWhileHostReadsAndClears) {
    TestBlobSource source;
    source.AttachWithoutDevice(2);
    source.Synchronise();
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        int32_t next = 0;
        for (int blob = 0; blob < 3000; ++blob) {
            const int n = 1 + blob % 50;
            std::vector<int16_t> samples;
            for (int i = 0; i < n; ++i, ++next) {
                samples.push_back(static_cast<int16_t>(next % 30000));
                samples.push_back(static_cast<int16_t>(-(next % 30000)));
            }
            const uint8_t signature = static_cast<uint8_t>(blob);
            source.Feed(Concat({Measurement(0x03, static_cast<uint8_t>(n), samples),
                                Response(0x98, 0x1C, signature, Bytes(8, signature))}));
        }
        finished = true;
    });
    int32_t values[500];
    uint8_t payload[16];
    int reads = 0;
    while (!finished || source.GetNumMeasurementsAvailable(0) > 0) {
        int32_t count = 0;
        ASSERT_EQ(0, source.ReadRawMeasurements(0, values, 0, 500, &count));
        ASSERT_TRUE(Contiguous(values, count, 1, 30000));
        EXPECT_LE(source.GetLatestRawMeasurement(1), 0);
        int32_t size = sizeof payload;
        uint8_t cmd = 0, error = 0;
        if (source.GetNextResponse(payload, &size, &cmd, &error, nullptr, 0, nullptr) == 0) {
            ASSERT_EQ(8, size);
            ASSERT_EQ(payload[0], payload[7]); // never a torn blob
        }
        if (++reads % 7 == 0) {
            ASSERT_EQ(0, source.ClearResponses());
        }
        if (reads % 11 == 0) {
            ASSERT_EQ(0, source.ClearMeasurements(-1));
        }
    }
    reader.join();
}

TEST(BlobSourceConcurrency, WaitCompletesWhileBlobsArrive) {
    TestBlobSource source;
    source.AttachWithoutDevice();
    source.Synchronise();
    const Bytes stream =
        Concat({Measurement(0x01, 2, {1, 2}), Response(0x88, 0x27, 9, {1, 2, 3}), Measurement(0x01, 1, {3}),
                Response(0x80, 0x27, 9, {4}), Response(0x90, 0x27, 9, {5})});
    std::thread reader([&] {
        for (uint8_t byte : stream) {
            source.Feed({byte});
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    uint8_t dst[8] = {};
    int32_t size = sizeof dst;
    uint8_t cmd = 0, error = 0;
    const int32_t expected = 9;
    EXPECT_EQ(0, source.GetNextResponse(dst, &size, &cmd, &error, &expected, kPatienceMs, nullptr));
    reader.join();
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), Bytes(dst, dst + size));
    EXPECT_EQ(3, source.GetNumMeasurementsAvailable(0));
}

class BlobStreamingConcurrency : public SimulatedUnitTest {
  protected:
    BlobStreamingConcurrency() { channels = 8; }
};

TEST_F(BlobStreamingConcurrency, ExchangesAndReadsDuringAStream) {
    unit->SetStreamMask(0x09); // channels 0 and 3
    unit->SetSamplesPerBlob(4);
    ASSERT_EQ(0, source->SetMeasurementPeriod(0.001, 1, kPatienceMs));
    ASSERT_EQ(0, source->SendCmdAndGetResponse(0x18, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    std::atomic<bool> stop{false};
    std::atomic<int64_t> received{0};
    std::thread consumer([&] {
        int32_t values[1000];
        while (!stop) {
            int32_t count = 0;
            ASSERT_EQ(0, source->ReadRawMeasurements(3, values, 0, 1000, &count));
            ASSERT_TRUE(Contiguous(values, count, 4, 4096));
            received += count;
            source->ClearMeasurements(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // The exchanges run on the opening thread, which holds the port claim.
    for (int i = 0; i < 20; ++i) {
        uint8_t period[4] = {};
        int32_t size = 4;
        ASSERT_EQ(0, source->SendCmdAndGetResponse(0x1C, nullptr, 0, period, &size, kPatienceMs, nullptr));
        EXPECT_EQ(1u, GetLittleEndian32(period));
    }
    EXPECT_TRUE(WaitUntil([&] { return received > 100; }));
    stop = true;
    consumer.join();
    EXPECT_EQ(0, source->SendCmdAndGetResponse(0x19, nullptr, 0, nullptr, nullptr, kPatienceMs, nullptr));
    EXPECT_FALSE(source->IsMeasuring());
}

} // namespace
