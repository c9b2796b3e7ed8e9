#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vorandix/document.hpp"
#include "vorandix/value.hpp"

namespace vorandix {
namespace {

std::string json_of(MetaValue v) { return to_json(to_document(std::move(v))); }

TEST(MetaObject, LastInsertWinsAndReturnsTheOldValue) {
    MetaObject o;
    EXPECT_FALSE(o.insert("width", MetaValue::uinteger(1)).has_value());
    auto old = o.insert("width", MetaValue::string("two"));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(*old, MetaValue::uinteger(1));
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(*o.find("width"), MetaValue::string("two"));
}

TEST(MetaObject, KeysIterateInUnsignedByteOrder) {
    MetaObject o;
    for (const char* k : {"global_color_table_size", "b", "Z", "global_color_table", "\xC3\xA9",
                          "a_b", "a"}) {
        o.insert_bool(k, true);
    }
    std::vector<std::string> keys;
    for (const auto& [k, v] : o) keys.push_back(k);
    const std::vector<std::string> want = {"Z", "a", "a_b", "b", "global_color_table",
                                           "global_color_table_size", "\xC3\xA9"};
    EXPECT_EQ(keys, want);
}

std::string repeat(std::string_view s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Document, ValueForms) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        MetaValue in;
        std::string json;
    } cases[] = {
        {MetaValue::null(), "null"},
        {MetaValue::boolean(false), "false"},
        {MetaValue::integer(-9223372036854775807LL - 1), "-9223372036854775808"},
        {MetaValue::integer(5), "5"},
        {MetaValue::uinteger(18446744073709551615ULL), "18446744073709551615"},
        {MetaValue::floating(0.5), "0.5"},
        {MetaValue::floating(nan), "null"},
        {MetaValue::floating(-inf), "null"},
        {MetaValue::floating(-0.0), "-0"},
        {MetaValue::rational(1, 0, inf), "{\"den\":0,\"num\":1,\"value\":null}"},
        {MetaValue::rational(-3, 4, -0.75), "{\"den\":4,\"num\":-3,\"value\":-0.75}"},
        {MetaValue::bytes({}), "\"\""},
        {MetaValue::bytes({0x00, 0xAB, 0xFF}), "\"00abff\""},
        // The cut: 64 bytes are written whole, 65 as 64 and the full length.
        {MetaValue::bytes(std::vector<std::uint8_t>(64, 0xAB)), "\"" + repeat("ab", 64) + "\""},
        {MetaValue::bytes(std::vector<std::uint8_t>(65, 0x01)),
         "\"" + repeat("01", 64) + "... (65 bytes)\""},
        {MetaValue::list({MetaValue::uinteger(1), MetaValue::string("x")}), "[1,\"x\"]"},
    };
    for (Case& c : cases) EXPECT_EQ(json_of(std::move(c.in)), c.json);
}

TEST(Document, ReportPlacesErrorsAmongSectionsAndOmitsThemWhenNone) {
    std::vector<Section> sections;
    for (const char* name : {"file", "elf", "exif"}) {
        Section s(name);
        s.insert_u64("n", 1);
        sections.push_back(std::move(s));
    }
    Report with_errors = assemble(std::move(sections), {{"jpeg", "boom"}, {"exif", "bad"}});
    EXPECT_EQ(to_json(to_document(std::move(with_errors))),
              "{\"elf\":{\"n\":1},\"errors\":[{\"extractor\":\"jpeg\",\"message\":\"boom\"},"
              "{\"extractor\":\"exif\",\"message\":\"bad\"}],\"exif\":{\"n\":1},\"file\":{\"n\":1}}");

    EXPECT_EQ(to_json(to_document(assemble({}, {}))), "{}");
}

TEST(Assemble, LastSectionOfAnEqualNameWins) {
    std::vector<Section> sections;
    for (int i = 0; i < 3; ++i) {
        Section s("png");
        s.insert_u64("i", static_cast<std::uint64_t>(i));
        sections.push_back(std::move(s));
    }
    Report r = assemble(std::move(sections), {});
    ASSERT_EQ(r.sections.size(), 1u);
    EXPECT_EQ(*r.sections["png"].find("i"), MetaValue::uinteger(2));
}

}  // namespace
}  // namespace vorandix
