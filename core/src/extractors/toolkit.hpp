// What every extractor source includes: its registry declarations, the Input it reads through,
// the byte helpers, and label tables.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "extractors/extractors.hpp"
#include "vorandix/bytes.hpp"
#include "vorandix/input.hpp"

namespace vorandix::extractors {

// One row of a table of fixed labels for an enumerated field.
template <class K>
struct Label {
    K key;
    const char* text;
};

// The label of `key` in `table`, or `fallback` when the table has no row for it.
template <class K, std::size_t N>
const char* label_of(const Label<K> (&table)[N], std::uint64_t key, const char* fallback) {
    for (const Label<K>& row : table) {
        if (row.key == key) return row.text;
    }
    return fallback;
}

}  // namespace vorandix::extractors
