#include "GPortRef.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

std::vector<uint8_t> Pattern(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

std::vector<uint8_t> DataOf(const GPortRef &ref) {
    const uint8_t *data = ref.GetPortData();
    return data == nullptr ? std::vector<uint8_t>() : std::vector<uint8_t>(data, data + ref.GetPortDataLength());
}

void ExpectEmpty(const GPortRef &ref) {
    EXPECT_EQ(-1, ref.GetPortType());
    EXPECT_EQ(L"", ref.GetLocation());
    EXPECT_EQ(L"", ref.GetAltName());
    EXPECT_EQ(L"", ref.GetDeviceName());
    EXPECT_EQ(nullptr, ref.GetPortData());
    EXPECT_EQ(0, ref.GetPortDataLength());
}

TEST(GPortRef, DefaultIsEmpty) {
    ExpectEmpty(GPortRef());
}

TEST(GPortRef, FromPartsKeepsEachTextInItsPlaceAndOwnsACopyOfTheData) {
    std::vector<uint8_t> record = Pattern(16);
    GPortRef ref(L"0016a4012345", L"QuorvelKTRX 7", L"alt", record.data(), 16);
    record.assign(16, 0);

    EXPECT_EQ(2, ref.GetPortType());
    EXPECT_EQ(L"0016a4012345", ref.GetLocation());
    EXPECT_EQ(L"QuorvelKTRX 7", ref.GetDeviceName());
    EXPECT_EQ(L"alt", ref.GetAltName());
    EXPECT_EQ(Pattern(16), DataOf(ref));
}

TEST(GPortRef, NoDataPointerOrANegativeLengthGivesNoPortData) {
    GPortRef nullData(L"loc", L"name", L"", nullptr, 560);
    EXPECT_EQ(nullptr, nullData.GetPortData());
    EXPECT_EQ(0, nullData.GetPortDataLength());

    const uint8_t byte = 1;
    GPortRef negative(L"loc", L"name", L"", &byte, -5);
    EXPECT_EQ(nullptr, negative.GetPortData());
    EXPECT_EQ(0, negative.GetPortDataLength());
}

TEST(GPortRef, CopySurvivesTheOriginalWithItsOwn560Bytes) {
    const std::vector<uint8_t> record = Pattern(560);
    auto original = std::make_unique<GPortRef>(L"loc", L"name", L"", record.data(), 560);
    GPortRef copy(*original);
    EXPECT_NE(original->GetPortData(), copy.GetPortData());

    original.reset();
    EXPECT_EQ(2, copy.GetPortType());
    EXPECT_EQ(L"loc", copy.GetLocation());
    EXPECT_EQ(L"name", copy.GetDeviceName());
    EXPECT_EQ(record, DataOf(copy));
}

TEST(GPortRef, AssignmentReplacesEveryFieldWithAnOwnCopy) {
    const std::vector<uint8_t> big = Pattern(560);
    const std::vector<uint8_t> small = Pattern(3);
    GPortRef target(L"old", L"old name", L"old alt", small.data(), 3);
    auto source = std::make_unique<GPortRef>(L"new", L"new name", L"", big.data(), 560);

    target = *source;
    source.reset();
    EXPECT_EQ(L"new", target.GetLocation());
    EXPECT_EQ(L"new name", target.GetDeviceName());
    EXPECT_EQ(L"", target.GetAltName());
    EXPECT_EQ(big, DataOf(target));
}

TEST(GPortRef, SelfAssignmentKeepsPortData) {
    const std::vector<uint8_t> record = Pattern(560);
    GPortRef ref(L"loc", L"name", L"", record.data(), 560);
    GPortRef &alias = ref;
    ref = alias;
    EXPECT_EQ(record, DataOf(ref));
    EXPECT_EQ(L"name", ref.GetDeviceName());
}

TEST(GPortRef, EmptyAssignedOverFullEmptiesIt) {
    const std::vector<uint8_t> record = Pattern(560);
    GPortRef ref(L"loc", L"name", L"alt", record.data(), 560);
    ref = GPortRef();
    ExpectEmpty(ref);
}

TEST(NameText, WidenTextKeepsByteValues) {
    const char bytes[] = {0x41, static_cast<char>(0xE9), static_cast<char>(0xFF), 0};
    EXPECT_EQ(std::wstring(L"\u0041\u00E9\u00FF"), WidenText(bytes));
    EXPECT_EQ(std::wstring(L"\u0041\u00E9\u00FF"), WidenText(std::string(bytes)));
    EXPECT_EQ(L"", WidenText(static_cast<const char *>(nullptr)));
}

TEST(NameText, NarrowTextConvertsAsciiAndEmpty) {
    EXPECT_EQ("", NarrowText(L""));
    EXPECT_EQ("QuorvelKTRX 0016a4012345", NarrowText(L"QuorvelKTRX 0016a4012345"));
    // The result ends at the first zero.
    EXPECT_EQ("ab", NarrowText(std::wstring(L"ab\0cd", 5)));
}

TEST(NameText, NarrowTextReplacesWhatTheLocaleCannotRepresent) {
    // The tests run in the "C" locale, which has no euro sign.
    EXPECT_EQ("A?B", NarrowText(L"A\u20ACB"));
    const std::wstring many(1000, L'\u20AC');
    EXPECT_EQ(std::string(1000, '?'), NarrowText(many));
}

TEST(NameText, NamesEqualIsExactAndCaseSensitive) {
    EXPECT_TRUE(NamesEqual(L"QuorvelKTRX 1", L"QuorvelKTRX 1"));
    EXPECT_FALSE(NamesEqual(L"QuorvelKTRX 1", L"quorvelktrx 1"));
    EXPECT_FALSE(NamesEqual(L"QuorvelKTRX 1", L"QuorvelKTRX 1 "));
    EXPECT_FALSE(NamesEqual(L"QuorvelKTRX", L"QuorvelKTRX 1"));
}

} // namespace
