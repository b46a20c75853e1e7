// The byte order every file and frame format of ours relies on, checked against bytes written
// out by hand, so that a reader and a writer cannot agree on a wrong order between themselves.
#include "afx/little_endian.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct LeCase {
    std::vector<unsigned char> bytes;  // as stored, lowest address first
    uint32_t value;
};

const LeCase kCases32[] = {
    {{0x00, 0x00, 0x00, 0x00}, 0},
    {{0x78, 0x56, 0x34, 0x12}, 0x12345678u},
    {{0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
    {{0x00, 0x00, 0x00, 0x80}, 0x80000000u},  // the top bit of the last byte: no sign spreads
    {{0x80, 0x00, 0x00, 0x00}, 0x00000080u},
    {{0xE8, 0x03, 0x00, 0x00}, 1000},
};

const LeCase kCases16[] = {
    {{0x00, 0x00}, 0}, {{0x34, 0x12}, 0x1234}, {{0xFF, 0xFF}, 0xFFFF}, {{0x80, 0x00}, 0x0080}, {{0x00, 0x80}, 0x8000},
};

TEST(LittleEndian, ThirtyTwoBitsLoadStoreAndAppendAsWrittenByHand)
{
    for (const LeCase& c : kCases32) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(LoadLE32(c.bytes.data()), c.value);
        const std::string asChars(c.bytes.begin(), c.bytes.end());  // signed char on our hosts
        EXPECT_EQ(LoadLE32(asChars.data()), c.value);

        std::vector<unsigned char> stored(6, 0xAA);
        StoreLE32(stored.data() + 1, c.value);
        EXPECT_EQ(std::vector<unsigned char>(stored.begin() + 1, stored.end() - 1), c.bytes);
        EXPECT_EQ(stored.front(), 0xAA);  // nothing written outside the four bytes
        EXPECT_EQ(stored.back(), 0xAA);

        std::vector<uint8_t> appended{0x01};
        AppendLE32(appended, c.value);
        EXPECT_EQ(std::vector<unsigned char>(appended.begin() + 1, appended.end()), c.bytes);
        std::string appendedChars;
        AppendLE32(appendedChars, c.value);
        EXPECT_EQ(appendedChars, asChars);
    }
}

TEST(LittleEndian, SixteenBitsLoadStoreAndAppendAsWrittenByHand)
{
    for (const LeCase& c : kCases16) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(LoadLE16(c.bytes.data()), c.value);
        const std::string asChars(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(LoadLE16(asChars.data()), c.value);

        std::vector<unsigned char> stored(4, 0xAA);
        StoreLE16(stored.data() + 1, uint16_t(c.value));
        EXPECT_EQ(std::vector<unsigned char>(stored.begin() + 1, stored.end() - 1), c.bytes);
        EXPECT_EQ(stored.front(), 0xAA);
        EXPECT_EQ(stored.back(), 0xAA);

        std::string appendedChars;
        AppendLE16(appendedChars, uint16_t(c.value));
        EXPECT_EQ(appendedChars, asChars);
    }
}

}  // namespace
