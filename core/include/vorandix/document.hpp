// The document form of a report: what a caller finally sees, as a plain tree of null, booleans,
// integers, doubles, text, arrays and key-ordered objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vorandix/value.hpp"

namespace vorandix {

struct DocValue;
using DocArray = std::vector<DocValue>;
// Members are in ascending byte order of their keys.
using DocObject = std::vector<std::pair<std::string, DocValue>>;

struct DocValue {
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, DocArray,
                 DocObject>
        v;
};

// Receives a document value by value, depth first and in order: a container's members come
// between its begin and end, each member of an object after its key. Every call returns false
// to stop the writing.
class DocumentSink {
public:
    virtual ~DocumentSink() = default;
    virtual bool null() = 0;
    virtual bool boolean(bool v) = 0;
    virtual bool negative(std::int64_t v) = 0;  // below zero only
    virtual bool integer(std::uint64_t v) = 0;
    virtual bool floating(double v) = 0;        // finite only
    virtual bool text(std::string_view v) = 0;
    virtual bool begin_array(std::size_t size) = 0;
    virtual bool end_array() = 0;
    virtual bool begin_object(std::size_t size) = 0;
    virtual bool key(std::string_view k) = 0;
    virtual bool end_object() = 0;
};

// Writes the document form of a report to `sink`: sections and "errors" (only when there are
// errors) as one key-ordered object; bytes as hex cut after 64 bytes; non-finite doubles as
// null; rationals as {"den", "num", "value"}; a non-negative Int as the same integer a UInt
// gives. The report is consumed as it goes: each value is released once written, so a large
// report and what the sink builds from it are not both held whole. False when the sink stopped.
bool write_document(Report&& report, DocumentSink& sink);
bool write_document(MetaValue&& value, DocumentSink& sink);

// The document form as a tree (write_document into one), consuming the report.
DocValue to_document(Report&& report);
DocValue to_document(MetaValue&& value);

// Appends `s` as a JSON string with the escapes Python's json module writes (ensure_ascii off):
// \" \\ \n \r \t \b \f, other control characters as \u00XX, everything else as it is.
void append_json_string(std::string& out, std::string_view s);

// Compact JSON text of a document (keys in their stored order); for tests and tools.
std::string to_json(const DocValue& doc);

}  // namespace vorandix
