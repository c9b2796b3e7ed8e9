// The document form of a report: what a caller finally sees, as a plain tree of null, booleans,
// integers, doubles, text, arrays and key-ordered objects.
#pragma once

#include <cstdint>
#include <string>
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

// Converts a report, consuming it: sections and "errors" (only when there are errors) as one
// key-ordered object; bytes as hex cut after 64 bytes; non-finite doubles as null; rationals as
// {"den", "num", "value"}.
DocValue to_document(Report&& report);
DocValue to_document(MetaValue&& value);

// Compact JSON text of a document (keys in their stored order); for tests and tools.
std::string to_json(const DocValue& doc);

}  // namespace vorandix
