#include <gtest/gtest.h>

#include <cmath>

#include "vorandix/bytes.hpp"

namespace vorandix {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"a\xFFz", "a\xEF\xBF\xBDz"},
        {"\xE9t\xE9", "\xEF\xBF\xBDt\xEF\xBF\xBD"},  // Latin-1 bytes
        // A truncated three-byte sequence is one subpart, replaced once.
        {"\xE2\x82", "\xEF\xBF\xBD"},
        {"\xE2\x82z", "\xEF\xBF\xBDz"},
        // Surrogates and overlongs: the lead byte cannot start them, so each byte is replaced.
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
        EXPECT_EQ(utf8_valid(as_bytes(c.in)), c.in == c.out) << c.in;
    }
}

TEST(Latin1, EveryByteBecomesItsCodePoint) {
    EXPECT_EQ(latin1_to_utf8(as_bytes("A\xE9\xFF")), "A\xC3\xA9\xC3\xBF");
}

TEST(Round3, HalvesGoAwayFromZero) {
    struct Case {
        double in, out;
    } cases[] = {{3.2125, 3.213}, {7.99951, 8.0}, {0.1235, 0.124}, {-1.0005, -1.001},
                 {12.345, 12.345}, {1.0, 1.0}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(round3(c.in), c.out) << c.in;
    EXPECT_TRUE(std::signbit(round3(-0.0)));
}

TEST(Hex, LowerCaseAndPadded) {
    const std::uint8_t b[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(hex_lower(ByteView(b)), "00abff");
    EXPECT_EQ(hex_lower(0x1234, 8), "00001234");
    EXPECT_EQ(hex_lower(0xFFFFFFFFu, 8), "ffffffff");
    EXPECT_EQ(hex_lower(0, 8), "00000000");
}

TEST(Fields, ReadsPastTheEndGiveZeroAndExhaustTheSpan) {
    const std::uint8_t b[] = {1, 2, 3, 4, 5};
    Fields f{ByteView(b)};
    EXPECT_EQ(f.u32be(), 0x01020304u);
    EXPECT_TRUE(f.ok());
    EXPECT_EQ(f.u16le(), 0u);
    EXPECT_FALSE(f.ok());
    EXPECT_EQ(f.left(), 0u);
    EXPECT_TRUE(f.bytes(1).empty());

    Fields g{ByteView(b)};
    EXPECT_EQ(g.skip(SIZE_MAX).u8(), 0u);
    Fields h{ByteView(b)};
    EXPECT_EQ(h.skip(4).bytes(1)[0], 5);
    EXPECT_EQ(h.u16(true), 0u);
    Fields e{ByteView(b)};
    EXPECT_EQ(e.u16(true), 0x0201u);
    EXPECT_EQ(e.u16(false), 0x0304u);
    EXPECT_TRUE(e.ok());
}

TEST(HasAt, ShortDataIsNoMatch) {
    const auto d = as_bytes("%PDF-1.7");
    EXPECT_TRUE(has_at(d, 0, "%PDF-"));
    EXPECT_FALSE(has_at(d, 5, "1.7x"));
    EXPECT_FALSE(has_at(d, SIZE_MAX, "a"));
    EXPECT_TRUE(has_at(d, 8, ""));
}

}  // namespace
}  // namespace vorandix
