// The Arrow column builder behind the Parquet output: what it exports is a valid Arrow layout,
// whatever records it was given or refused.
#include "arrow_columns.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "arrow_support.hpp"

namespace vorandix::py {
namespace {

using testing::check_exported;
using testing::OwnedSchema;
using testing::test_table;

struct Taken {
    ArrowArray array{};
    ~Taken() {
        if (array.release) array.release(&array);
    }
    const ArrowArray& column(int i) const { return *array.children[i]; }
    const ArrowArray& field(int column_index, int i) const {
        return *column(column_index).children[i];
    }
};

template <typename T>
T value_at(const ArrowArray& a, std::int64_t row) {
    return static_cast<const T*>(a.buffers[1])[row];
}

std::string text_at(const ArrowArray& a, std::int64_t row) {
    const auto* offsets = static_cast<const std::int32_t*>(a.buffers[1]);
    const auto* data = static_cast<const char*>(a.buffers[2]);
    return std::string(data + offsets[row],
                       static_cast<std::size_t>(offsets[row + 1] - offsets[row]));
}

bool valid_at(const ArrowArray& a, std::int64_t row) {
    return a.null_count == 0 ||
           (static_cast<const std::uint8_t*>(a.buffers[0])[row / 8] >> (row % 8) & 1);
}

TEST(ArrowColumns, RecordsBecomeColumnsWithAbsentKeysAsNulls) {
    OwnedSchema schema(test_table());
    ArrowColumns columns(schema.root());
    columns.append(R"({"path": "a\"\u00e9\ud83d\ude00", "path_bytes": "61ff",)"
                   R"( "sec": {"n": 18446744073709551615, "i": -5, "f": 2, "b": true, "s": "x\n",)"
                   R"( "items": [{"k": "p", "v": 1}, {"k": "q"}], "names": [], "text": {"k": "v"},)"
                   R"( "cut": {"names": 100000}}})");
    columns.append(R"({"path": "b", "error": {"kind": "io", "message": "m"}})");
    columns.append(R"({"path": "c", "sec": {"f": 0.1, "items": [{"v": 7}], "b": null}})");
    Taken t;
    columns.take(&t.array);
    check_exported(t.array, test_table());
    ASSERT_EQ(t.array.length, 3);
    EXPECT_EQ(text_at(t.column(0), 0), "a\"\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(text_at(t.column(1), 0), "a\xff");
    EXPECT_FALSE(valid_at(t.column(1), 1));
    EXPECT_EQ(t.column(3).null_count, 1);  // sec, absent from the second record
    EXPECT_EQ(value_at<std::uint64_t>(t.field(3, 0), 0), UINT64_MAX);
    EXPECT_EQ(value_at<std::int64_t>(t.field(3, 1), 0), -5);
    EXPECT_EQ(value_at<double>(t.field(3, 2), 0), 2.0);
    EXPECT_EQ(value_at<double>(t.field(3, 2), 2), 0.1);
    EXPECT_FALSE(valid_at(t.field(3, 3), 2));
    EXPECT_EQ(text_at(t.field(3, 4), 0), "x\n");
    const ArrowArray& items = t.field(3, 5);
    EXPECT_EQ(value_at<std::int32_t>(items, 3), 3);  // offsets 0, 2, 2, 3
    EXPECT_EQ(text_at(*items.children[0]->children[0], 1), "q");
    EXPECT_FALSE(valid_at(*items.children[0]->children[1], 1));
    EXPECT_EQ(value_at<std::int64_t>(*t.field(3, 8).children[0]->children[1], 0), 100000);
    EXPECT_EQ(text_at(*t.column(2).children[1], 1), "m");
}

TEST(ArrowColumns, RefusedRecordsLeaveTheRowsBeforeThem) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {R"({"path": "x", "sec": {"items": [{"k": "a"}, {"k": "b", "w": 1}]}})",
         "key 'sec.items.w' is not in vorandix.schema()"},
        {R"({"path": "x", "sec": {"n": 1, "s": 2}})",
         "key 'sec.s': a number where another type is expected"},
        {R"({"path": "x", "sec": {"n": -1}})", "key 'sec.n': expected an integer of 0 or more"},
        {R"({"path": "x", "sec": {"i": 9223372036854775808}})",
         "key 'sec.i': an integer out of range"},
        {R"({"path": "x", "sec": {"f": 1e999}})", "key 'sec.f': a number out of range"},
        {R"({"path": "x", "sec": {"text": {"a": "b", "c": [1]}}})",
         "key 'sec.text': a list where another type is expected"},
        {R"({"path": "x", "sec": {"names": ["a", "b)", "key 'sec.names': a cut string"},
        {R"({"path": "x", "sec": {"b": tru}})", "key 'sec.b': not JSON"},
        {R"({"path": "x", "sec": {"n": 01}})", "key 'sec': expected '}'"},
        {R"({"path": "x", "path": "y"})", "key 'path': given twice"},
        {R"({"path": "x", "path_bytes": "6"})", "key 'path_bytes': hex of odd length"},
        {"{\"path\": \"\xc3\x28\"}", "key 'path': text that is not UTF-8"},
        {"{\"path\": \"\xed\xa0\x80\"}", "key 'path': text that is not UTF-8"},
        {R"({"path": "\udc00"})", "key 'path': a lone surrogate"},
        {R"({"path": "x"}, {})", "text after the record"},
        {"", "a record is a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        OwnedSchema schema(test_table());
        ArrowColumns columns(schema.root());
        columns.append(R"({"path": "a", "sec": {"items": [{"k": "1"}], "text": {"t": "u"}}})");
        try {
            columns.append(c.line);
            ADD_FAILURE() << "accepted";
        } catch (const RowError& e) {
            EXPECT_EQ(e.message(), c.message);
        }
        columns.append(R"({"path": "b", "sec": {"items": [], "names": ["n"]}})");
        Taken t;
        columns.take(&t.array);
        check_exported(t.array, test_table());
        EXPECT_EQ(t.array.length, 2);
        EXPECT_EQ(text_at(t.column(0), 1), "b");
        EXPECT_EQ(t.field(3, 5).children[0]->length, 1);  // the refused record's items are gone
        EXPECT_EQ(t.field(3, 7).children[0]->length, 1);
    }
}

}  // namespace
}  // namespace vorandix::py
