// Shared by the product tests: the product source with its range fields in
// reach, data sheets with chosen calibrations, hand-made measurement blobs,
// and a fixture that opens the source on a simulated unit.
#pragma once

#include "BlobFormat.h"
#include "BluetoothStacks.h"
#include "GMBLCrashTestDummySource.h"
#include "SimDataSheet.h"
#include "SimStack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace product_test {

using Bytes = std::vector<uint8_t>;

constexpr int32_t kChannels = 8;

template <typename Condition> bool WaitUntil(Condition condition, int boundMs = 30000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class TestProductSource : public GMBLCrashTestDummySource {
  public:
    TestProductSource() { m_numChannels = kChannels; }

    // Hands bytes to the reader callback as the device's reader thread would.
    void Feed(const Bytes &bytes) { OnBytesReceived(bytes.data(), static_cast<int32_t>(bytes.size()), this); }

    std::vector<int32_t> ReadAll(int32_t channel) {
        std::vector<int32_t> values;
        ReadMeasurementsToList(values, channel, -1);
        return values;
    }

    using GMBLCrashTestDummySource::m_synchronised;
    using GMBLCrashTestDummySource::PositiveSlope;
    using GMBLCrashTestDummySource::PrepareRange;
    using GMBLCrashTestDummySource::RangePrepared;
    using GMBLCrashTestDummySource::RangeThreshold;
    using GMBLCrashTestDummySource::ReferenceRecord1;
    using GMBLCrashTestDummySource::ReferenceRecord2;
};

// One calibration page: K0 + K1 v.
struct Line {
    float k0;
    float k1;
};

// A sound data sheet of `channel` (the unit's default sensor) with pages 0 and
// 1 replaced.
inline sim::DataSheetBytes SheetWith(int channel, Line page0, Line page1) {
    sim::SimSensorInfo info = sim::SimDataSheet::DefaultSensor(channel);
    info.highestValidCalPageIndex = 1;
    info.pages[0] = {page0.k0, page0.k1, 0.0f, "N"};
    info.pages[1] = {page1.k0, page1.k1, 0.0f, "N"};
    return sim::SimDataSheet::Build(info);
}

// A measurement blob of the unit's side: words[i * N + k] is sample i of the
// k-th channel named in the mask.
inline Bytes MeasurementBlob(uint8_t mask, uint8_t perChannel, const std::vector<uint16_t> &words) {
    Bytes blob = {0x20, 0, 0x11, 0, 0, 0, mask, perChannel};
    for (uint16_t word : words) {
        blob.push_back(static_cast<uint8_t>(word));
        blob.push_back(static_cast<uint8_t>(word >> 8));
    }
    blob[1] = static_cast<uint8_t>(blob.size());
    blob[3] = BlobChecksum(blob.data());
    return blob;
}

// The merged value the arithmetic of the merge gives for g.
inline int32_t Steps(double g) {
    return static_cast<int32_t>(std::floor(g / 5e-08 + 0.5));
}

// A simulated stack with one unit; each test sets the unit's sheets, then
// opens the product source on it.
class ProductUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        unit = scope.AddUnit();
        port = scope.PortOf(*unit);
        source = std::make_unique<TestProductSource>();
    }
    void TearDown() override { source.reset(); }

    // Opens and checks that the link is up and framed.
    void OpenConnected() {
        ASSERT_EQ(0, source->Open(&port));
        ASSERT_NE(nullptr, source->GetDevice());
        ASSERT_TRUE(source->m_synchronised);
    }
    // Opens with pages 0 and 1 of channels 1 and 2 set; range merging must
    // come on.
    void OpenWithRanges(Line low0, Line low1, Line high0, Line high1) {
        unit->SetDataSheet(1, SheetWith(1, low0, low1));
        unit->SetDataSheet(2, SheetWith(2, high0, high1));
        OpenConnected();
        ASSERT_TRUE(source->RangePrepared);
    }

    sim::SimStackScope scope;
    std::shared_ptr<sim::SimUnit> unit;
    GPortRef port;
    std::unique_ptr<TestProductSource> source;
};

// Makes a stack type that no backend serves current for its lifetime.
class NoStackChosen {
  public:
    NoStackChosen() : m_saved(BluetoothStackType.load()) { BluetoothStackType = kStackNone; }
    ~NoStackChosen() { BluetoothStackType = m_saved; }
    NoStackChosen(const NoStackChosen &) = delete;
    NoStackChosen &operator=(const NoStackChosen &) = delete;

  private:
    int32_t m_saved;
};

} // namespace product_test
