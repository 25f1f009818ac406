// Raw commands and their responses, and the measurement period.
#include "InterfaceTestSupport.h"

#include <cstring>

namespace iface_test {
namespace {

using sim::SimUnit;

class InterfaceCommandTest : public OpenUnitTest {};

uint32_t LittleEndian32(const unsigned char *bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

TEST_F(InterfaceCommandTest, SendCmdReportsTheSignatureTheResponseCarries) {
    int signature = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, &signature), 0);
    ASSERT_GE(signature, 0);
    ASSERT_LE(signature, 255);
    EXPECT_EQ(unit->LastCommand().at(2), signature);

    unsigned char response[16];
    int size = sizeof response;
    unsigned char echo = 0;
    unsigned char error = 7;
    ASSERT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &signature, 1000), 0);
    EXPECT_EQ(echo, SimUnit::kCmdGetPeriod);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(size, 4);
    EXPECT_EQ(LittleEndian32(response), SimUnit::kDefaultPeriodTicks);

    // Each command carries the next signature.
    int next = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, &next), 0);
    EXPECT_NE(next, signature);
    size = sizeof response;
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &next, 1000), 0);
}

TEST_F(InterfaceCommandTest, GetNextResponseChecksTheSignatureOnlyWhenGivenOne) {
    int signature = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, &signature), 0);
    unsigned char response[16];
    int size = sizeof response;
    unsigned char echo = 0;
    unsigned char error = 0;
    const int wrong = signature ^ 0x01;
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &wrong, 1000), -1);

    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, nullptr), 0);
    size = sizeof response;
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, nullptr, 1000), 0);
    EXPECT_EQ(echo, SimUnit::kCmdGetPeriod);
    EXPECT_EQ(size, 4);
}

TEST_F(InterfaceCommandTest, GetNextResponseTimesOutWhenNothingCame) {
    unsigned char response[16];
    int size = sizeof response;
    unsigned char echo = 0;
    unsigned char error = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, nullptr, 100), -1);
    EXPECT_GE(MillisecondsSince(start), 80); // measured in coarse ticks
    EXPECT_EQ(size, 0);
}

TEST_F(InterfaceCommandTest, GetNextResponseWithoutItsRequiredOutputsIsRefused) {
    ASSERT_EQ(Ostrel_Device_SendCmd(device, SimUnit::kCmdGetPeriod, nullptr, 0, nullptr), 0);
    int size = 0;
    unsigned char echo = 0;
    unsigned char error = 0;
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, nullptr, &size, nullptr, &error, nullptr, 100), -1);
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, nullptr, &size, &echo, nullptr, nullptr, 100), -1);
    // The response is still there for a proper call; with no buffer and no
    // size nothing is copied.
    EXPECT_EQ(Ostrel_Device_GetNextResponse(device, nullptr, nullptr, &echo, &error, nullptr, 1000), 0);
    EXPECT_EQ(echo, SimUnit::kCmdGetPeriod);
}

TEST_F(InterfaceCommandTest, SendCmdAndGetResponseCarriesThePeriodCommands) {
    const unsigned char ticks[4] = {25, 0, 0, 0};
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdSetPeriod, ticks, 4, nullptr, nullptr, 1000), 0);
    EXPECT_EQ(unit->PeriodTicks(), 25u);

    unsigned char response[16];
    std::memset(response, 0, sizeof response);
    int size = sizeof response;
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdGetPeriod, nullptr, 0, response, &size, 1000),
              0);
    ASSERT_EQ(size, 4);
    EXPECT_EQ(LittleEndian32(response), 25u);

    // A smaller buffer takes what fits.
    size = 2;
    std::memset(response, 0xEE, sizeof response);
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdGetPeriod, nullptr, 0, response, &size, 1000),
              0);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(response[0], 25);
    EXPECT_EQ(response[2], 0xEE);
}

TEST_F(InterfaceCommandTest, CommandTheUnitRejectsFails) {
    unsigned char response[16];
    int size = sizeof response;
    EXPECT_LT(Ostrel_Device_SendCmdAndGetResponse(device, 0x55, nullptr, 0, response, &size, 1000), 0);
    // A period of 0 ticks is out of the unit's range.
    const unsigned char zero[4] = {0, 0, 0, 0};
    EXPECT_LT(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdSetPeriod, zero, 4, nullptr, nullptr, 1000), 0);
    EXPECT_EQ(unit->PeriodTicks(), SimUnit::kDefaultPeriodTicks);
    // The link is still in step: the next command is answered.
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceCommandTest, GetNextResponseHandsOverTheUnitsError) {
    int signature = -1;
    ASSERT_EQ(Ostrel_Device_SendCmd(device, 0x55, nullptr, 0, &signature), 0);
    unsigned char response[16] = {};
    int size = sizeof response;
    unsigned char echo = 0;
    unsigned char error = 0;
    ASSERT_EQ(Ostrel_Device_GetNextResponse(device, response, &size, &echo, &error, &signature, 1000), 0);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(echo, 0x55);
    ASSERT_EQ(size, 1);
    EXPECT_EQ(response[0], static_cast<unsigned char>(sim::SimError::UnknownCommand));

    // A command the unit refuses on purpose fails the exchange.
    unit->ErrorOnNextCommand();
    EXPECT_EQ(Ping(device), -1);
    EXPECT_EQ(Ping(device), 0);
}

TEST_F(InterfaceCommandTest, SendCmdRefusesTooManyParameters) {
    unsigned char params[251] = {};
    const uint64_t commands = unit->TotalCommands();
    int signature = -1;
    EXPECT_EQ(Ostrel_Device_SendCmd(device, 0x30, params, 251, &signature), -1);
    EXPECT_EQ(Ostrel_Device_SendCmd(device, 0x30, params, -1, &signature), -1);
    EXPECT_EQ(signature, -1);
    EXPECT_EQ(unit->TotalCommands(), commands);
    // Null parameters mean none, whatever the count says.
    EXPECT_EQ(Ostrel_Device_SendCmdAndGetResponse(device, SimUnit::kCmdGetPeriod, nullptr, 12, nullptr, nullptr, 1000),
              0);
}

TEST_F(InterfaceCommandTest, PeriodIsSetInTicksAndReadBack) {
    ASSERT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.0123, 1000), 0);
    EXPECT_EQ(unit->PeriodTicks(), 12u);
    double seconds = 0.0;
    ASSERT_EQ(Ostrel_Device_GetMeasurementPeriod(device, &seconds, 1000), 0);
    EXPECT_NEAR(seconds, 0.012, 1e-12);

    // Kept within the unit's range.
    ASSERT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 0.0004, 1000), 0);
    EXPECT_EQ(unit->PeriodTicks(), 1u);
    ASSERT_EQ(Ostrel_Device_SetMeasurementPeriod(device, 100.0, 1000), 0);
    EXPECT_EQ(unit->PeriodTicks(), 65535u);
    ASSERT_EQ(Ostrel_Device_GetMeasurementPeriod(device, &seconds, 1000), 0);
    EXPECT_NEAR(seconds, 65.535, 1e-9);
}

TEST_F(InterfaceCommandTest, PeriodOfAUnitThatNeverAnswersIsTheFailureValue) {
    unit->SetDropResponsesTo(SimUnit::kCmdGetPeriod, true);
    double seconds = 0.0;
    const auto start = Clock::now();
    EXPECT_EQ(Ostrel_Device_GetMeasurementPeriod(device, &seconds, 100), 0);
    EXPECT_GE(MillisecondsSince(start), 80);
    EXPECT_EQ(seconds, 1000000.0);
    EXPECT_EQ(Ostrel_Device_GetMeasurementPeriod(device, nullptr, 100), -1);
}

TEST_F(InterfaceCommandTest, ConstantsNeedNoHandle) {
    EXPECT_EQ(Ostrel_Device_GetMeasurementTick(nullptr), 0.001);
    EXPECT_EQ(Ostrel_Device_GetMinimumMeasurementPeriod(nullptr), 0.001);
    EXPECT_EQ(Ostrel_Device_GetMaximumMeasurementPeriod(nullptr), 65.535);
    EXPECT_EQ(Ostrel_Device_GetMaximumMeasurementPeriod(device), 65.535);
}

} // namespace
} // namespace iface_test
