// A small table layout for the Arrow column builder's tests and fuzz target, and a check of
// what it exports: the invariants pyarrow relies on when it imports the rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "arrow_columns.hpp"

namespace vorandix::testing {

struct Field {
    const char* format;
    const char* name;
    std::vector<Field> children;
};

// A schema that owns its nodes (and has no release callback: the builder only reads it).
// `flags` go to every node below the root (ARROW_FLAG_NULLABLE, say).
class OwnedSchema {
public:
    explicit OwnedSchema(const Field& root, std::int64_t flags = 0)
        : flags_(flags), root_(&build(root)) {
        root_->flags = 0;
    }
    const ArrowSchema& root() const { return *root_; }

private:
    ArrowSchema& build(const Field& f) {
        auto& pointers = children_.emplace_back();
        for (const Field& child : f.children) pointers.push_back(&build(child));
        ArrowSchema& s = nodes_.emplace_back();
        s = ArrowSchema{};
        s.format = f.format;
        s.name = f.name;
        s.flags = flags_;
        s.n_children = static_cast<std::int64_t>(pointers.size());
        s.children = pointers.empty() ? nullptr : pointers.data();
        return s;
    }
    std::deque<ArrowSchema> nodes_;
    std::deque<std::vector<ArrowSchema*>> children_;
    std::int64_t flags_;
    ArrowSchema* root_;
};

// Every kind the builder knows, nested as the records' sections are.
inline const Field& test_table() {
    static const Field table{
        "+s",
        "",
        {
            {"u", "path", {}},
            {"z", "path_bytes", {}},
            {"+s", "error", {{"u", "kind", {}}, {"u", "message", {}}}},
            {"+s",
             "sec",
             {
                 {"L", "n", {}},
                 {"l", "i", {}},
                 {"g", "f", {}},
                 {"b", "b", {}},
                 {"u", "s", {}},
                 {"+l", "items", {{"+s", "item", {{"u", "k", {}}, {"L", "v", {}}}}}},
                 {"+l", "names", {{"u", "item", {}}}},
                 {"+m", "text", {{"+s", "entries", {{"u", "key", {}}, {"u", "value", {}}}}}},
                 {"+m", "cut", {{"+s", "entries", {{"u", "key", {}}, {"l", "value", {}}}}}},
             }},
        }};
    return table;
}

// Throws std::logic_error when `a` breaks a rule of the Arrow layout: children shorter than
// their parent needs, offsets that go back or past their data, a null count that disagrees
// with the validity bits.
inline void check_exported(const ArrowArray& a, const Field& field) {
    const std::string f = field.format;
    auto fail = [&](const std::string& what) {
        throw std::logic_error(std::string(field.name) + " (" + f + "): " + what);
    };
    const bool nested = f[0] == '+';
    const std::int64_t buffers = f == "+s" ? 1 : f == "u" || f == "z" ? 3 : 2;
    if (a.n_buffers != buffers) fail("buffer count");
    if (a.n_children != static_cast<std::int64_t>(field.children.size())) fail("child count");
    if (!a.release || a.offset != 0) fail("release or offset");
    if (a.length < 0 || a.null_count < 0 || a.null_count > a.length) fail("counts");
    if (a.null_count > 0) {
        const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
        if (!bits) fail("nulls without validity bits");
        std::int64_t zeros = 0;
        for (std::int64_t i = 0; i < a.length; ++i) zeros += !(bits[i / 8] >> (i % 8) & 1);
        if (zeros != a.null_count) fail("null count");
    }
    if (f == "u" || f == "z" || f == "+l" || f == "+m") {
        const auto* offsets = static_cast<const std::int32_t*>(a.buffers[1]);
        if (!offsets || offsets[0] != 0) fail("first offset");
        for (std::int64_t i = 0; i < a.length; ++i) {
            if (offsets[i + 1] < offsets[i]) fail("offsets go back");
        }
        if (nested && a.children[0]->length < offsets[a.length]) fail("short child");
    } else if (!nested && !a.buffers[1]) {
        fail("no values");
    }
    if (f == "+s") {
        for (std::int64_t i = 0; i < a.n_children; ++i) {
            if (a.children[i]->length < a.length) fail("short field");
        }
    }
    for (std::int64_t i = 0; i < a.n_children; ++i) {
        check_exported(*a.children[i], field.children[static_cast<std::size_t>(i)]);
    }
}

}  // namespace vorandix::testing
