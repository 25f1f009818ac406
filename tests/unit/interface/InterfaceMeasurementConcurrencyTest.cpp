// Streamed measurements read by the host while the link's receive thread
// files them, and their conversion and calibration.
#include "InterfaceTestSupport.h"

#include <array>
#include <cmath>

namespace iface_test {
namespace {

using sim::SimUnit;

constexpr int kRawScale = 16; // the unit's 16-bit words are filed times 16
constexpr double kVoltsPerRaw = 2.5 / 32768;

class InterfaceMeasurementConcurrencyTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        unit = AddUnit("Alpha");
        device = Open(*unit);
        ASSERT_NE(device, nullptr);
    }

    // Moves what channel holds onto the end of values; false on a failure.
    bool Drain(int channel, std::vector<int> &values) {
        int chunk[97]; // an odd size, so that reads end mid-blob
        for (;;) {
            const int n = Ostrel_Device_ReadRawMeasurements(device, channel, chunk, 97);
            if (n < 0)
                return false;
            values.insert(values.end(), chunk, chunk + n);
            if (n < 97)
                return true;
        }
    }

    std::shared_ptr<SimUnit> unit;
    OstrelDevice device = nullptr;
};

TEST_F(InterfaceMeasurementConcurrencyTest, StreamReadWhileItArrivesMatchesTheUnitSignal) {
    ASSERT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.001, 1000), 0);
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);

    // Channels 1 to 6 stream; 7 is built from 1 and 2.
    std::array<std::vector<int>, 8> values;
    const auto start = Clock::now();
    while (values[1].size() < 600 && MillisecondsSince(start) < 10000) {
        for (int channel = 1; channel <= 7; ++channel)
            ASSERT_TRUE(Drain(channel, values[channel]));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStop, nullptr, 0, nullptr), 0);
    EXPECT_EQ(unit->CommandCount(SimUnit::kCmdStop), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int channel = 1; channel <= 7; ++channel)
        ASSERT_TRUE(Drain(channel, values[channel]));
    ASSERT_GE(values[1].size(), 600u);

    for (int channel = 1; channel <= 6; ++channel) {
        ASSERT_EQ(values[channel].size(), values[1].size()) << "channel " << channel;
        for (size_t i = 0; i < values[channel].size(); ++i)
            ASSERT_EQ(values[channel][i], SimUnit::SampleValue(channel, i) * kRawScale)
                << "channel " << channel << " sample " << i;
    }
    EXPECT_EQ(values[0].size(), 0u);

    // Channel 7 holds one merged value per sample: channel 1's reading while
    // it stays within +-10 N, channel 2's beyond. Both see the same force.
    ASSERT_EQ(values[7].size(), values[1].size());
    size_t fromChannel1 = 0;
    for (size_t i = 0; i < values[7].size(); ++i) {
        const double merged = (Ostrel_Device_ConvertToVoltage(device, 7, values[7][i]) - 2.5) * 40.0;
        const double force2 = values[2][i] * kVoltsPerRaw * 40.0 - 100.0;
        const double force1 = values[1][i] * kVoltsPerRaw * 4.0 - 10.0;
        // At the top of its range channel 1 reads 4095 / 819.2 V, a little
        // under the +10 N limit, so it stays the one used.
        if (values[1][i] == 4095 * kRawScale) {
            ASSERT_NEAR(merged, force1, 1e-6) << "sample " << i;
            continue;
        }
        ASSERT_NEAR(merged, force2, 0.1 + 0.01 * std::fabs(force2)) << "sample " << i;
        if (std::fabs(force1) < 9.0) {
            ++fromChannel1;
            ASSERT_NEAR(merged, force1, 0.02 + 0.01 * std::fabs(force1)) << "sample " << i;
        }
    }
    EXPECT_GT(fromChannel1, 0u);
}

TEST_F(InterfaceMeasurementConcurrencyTest, CountsLatestValueAndClearing) {
    EXPECT_EQ(Ostrel_Device_ReadRawMeasurements(device, 3, nullptr, 0), 0);
    int none[4];
    EXPECT_EQ(Ostrel_Device_ReadRawMeasurements(device, 3, none, 4), 0);
    EXPECT_EQ(Ostrel_Device_ReadRawMeasurements(device, 3, nullptr, 4), -1);

    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return Ostrel_Device_GetNumMeasurementsAvailable(device, 4) >= 5; }, 3000));
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStop, nullptr, 0, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // The channel argument counts by its low byte.
    const int available = Ostrel_Device_GetNumMeasurementsAvailable(device, 4);
    EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(device, 0x104), available);
    EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(device, 0xFF), 0); // -1 is no one channel

    const int latest = Ostrel_Device_GetLatestRawMeasurement(device, 4);
    EXPECT_EQ(latest, SimUnit::SampleValue(4, static_cast<uint64_t>(available - 1)) * kRawScale);
    EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(device, 4), 0);

    EXPECT_GT(Ostrel_Device_GetNumMeasurementsAvailable(device, 5), 0);
    EXPECT_EQ(Ostrel_Device_ClearIO(device, 5), 0);
    EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(device, 5), 0);
    EXPECT_GT(Ostrel_Device_GetNumMeasurementsAvailable(device, 6), 0);
    EXPECT_EQ(Ostrel_Device_ClearIO(device, 0xFF), 0); // all channels
    for (int channel = 0; channel <= 7; ++channel)
        EXPECT_EQ(Ostrel_Device_GetNumMeasurementsAvailable(device, channel), 0) << channel;
    EXPECT_EQ(Ostrel_Device_ClearIO(device, -2), -1);
    EXPECT_EQ(Ostrel_Device_ClearIO(device, 8), -1);
}

TEST_F(InterfaceMeasurementConcurrencyTest, ReadingFromTheHostWhileTheStreamIsFastLosesNothing) {
    ASSERT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.001, 1000), 0);
    unit->SetSamplesPerBlob(20);
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStart, nullptr, 0, nullptr), 0);
    std::vector<int> values;
    const auto start = Clock::now();
    while (values.size() < 2000 && MillisecondsSince(start) < 10000) {
        int chunk[7];
        const int n = Ostrel_Device_ReadRawMeasurements(device, 6, chunk, 7);
        ASSERT_GE(n, 0);
        values.insert(values.end(), chunk, chunk + n);
    }
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdStop, nullptr, 0, nullptr), 0);
    ASSERT_GE(values.size(), 2000u);
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(values[i], SimUnit::SampleValue(6, i) * kRawScale) << i;
}

class InterfaceCalibrationTest : public OpenUnitTest {};

TEST_F(InterfaceCalibrationTest, ConvertsAndCalibratesWithTheChannelsDataSheet) {
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 2.5);
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 0), 0.0);
    const double volts = Ostrel_Device_ConvertToVoltage(device, 3, 32768);
    // Channel 3 is the temperature probe: -40 + 33 x volts on page 0.
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 3, volts), 42.5);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 3, 32768), Ostrel_Device_CalibrateData(device, 3, volts));
    for (int channel = 3; channel <= 7; ++channel)
        for (int raw : {0, 4096, 40000, 65535 * 16})
            EXPECT_EQ(
                Ostrel_Device_CalibrateData2(device, channel, raw),
                Ostrel_Device_CalibrateData(device, channel, Ostrel_Device_ConvertToVoltage(device, channel, raw)))
                << channel << " " << raw;
    // Channel 7, built from channels 1 and 2, sits at 2.5 V for 0.
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 7, 0), 2.5);
}

TEST_F(InterfaceCalibrationTest, OnlySensorChannelsCalibrate) {
    for (int channel : {2, 8, -1, 0, 0xFF})
        EXPECT_EQ(Ostrel_Device_CalibrateData(device, channel, 2.5), 0.0) << channel;
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 2, 32768), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 8, 32768), 0.0);
    // Only the channel's low byte counts.
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 0x103, 2.5), 42.5);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 0x7F03, 32768), 42.5);
}

TEST_F(InterfaceCalibrationTest, HandleThatIsNotAnOpenDeviceAnswersZero) {
    unsigned char notADevice[64] = {};
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(reinterpret_cast<OstrelDevice>(notADevice), 3, 32768), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(reinterpret_cast<OstrelDevice>(notADevice), 3, 2.5), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(nullptr, 3, 32768), 0.0);
    ASSERT_EQ(Ostrel_Device_Close(device), 0);
    EXPECT_EQ(Ostrel_Device_ConvertToVoltage(device, 3, 32768), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 3, 2.5), 0.0);
    EXPECT_EQ(Ostrel_Device_CalibrateData2(device, 3, 32768), 0.0);
}

TEST_F(InterfaceCalibrationTest, CalibrationFollowsTheDataSheetTheHostChanges) {
    ASSERT_EQ(Ostrel_Device_DDSMem_SetCalPage(device, 4, 1, 1.0f, 2.0f, 0.0f, "units"), 0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 4, 2.5), 200.0); // page 0: 80 x volts
    ASSERT_EQ(Ostrel_Device_DDSMem_SetActiveCalPage(device, 4, 1), 0);
    EXPECT_EQ(Ostrel_Device_CalibrateData(device, 4, 2.5), 6.0);
}

TEST_F(InterfaceCalibrationTest, ChannelRange) {
    int first = 0;
    int last = 0;
    EXPECT_EQ(Ostrel_Device_GetChannelRange(device, &first, &last), 0);
    EXPECT_EQ(first, 3);
    EXPECT_EQ(last, 7);
    first = 9;
    EXPECT_EQ(Ostrel_Device_GetChannelRange(device, &first, nullptr), -1);
    EXPECT_EQ(first, 9);
}

} // namespace
} // namespace iface_test
