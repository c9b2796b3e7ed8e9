// Records as Arrow columns, built from their JSON lines and handed over through the Arrow C data
// interface: the Parquet output's fast path, which skips the Python dicts of the records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The Arrow C data interface, as Arrow defines it (a stable ABI; the guard is Arrow's own, so
// another header declaring the same structs does not collide).
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

namespace vorandix::py {

// A record that does not fit the table: a key it does not declare, a value of another type,
// or text that is not JSON. The rows appended before it are kept.
struct RowError {
    std::string key;      // the dotted path of the field at fault, empty for the record itself
    std::string problem;  // what is wrong there
    bool unknown_key = false;

    // "key 'png.x' is not in vorandix.schema()", "key 'png.width': <problem>" or the problem.
    std::string message() const;
};

// The columns of a table under construction. The layout comes from an Arrow schema (a struct
// of columns) whose types are among: uint64, int64, float64, bool, string, binary, struct,
// list and map with string keys.
class ArrowColumns {
public:
    enum class Kind : std::uint8_t {
        UInt64,
        Int64,
        Float64,
        Bool,
        String,
        Binary,
        Struct,
        List,
        Map
    };

    // Throws std::invalid_argument for a type outside that set.
    explicit ArrowColumns(const ArrowSchema& schema);
    ArrowColumns(ArrowColumns&&) noexcept;
    ~ArrowColumns();

    // Appends one record: a JSON object whose keys are columns. Keys the JSON lacks are null.
    // A string goes to a binary column as hex. Throws RowError and appends nothing when the
    // record does not fit.
    void append(std::string_view json);

    std::int64_t rows() const;
    // Bytes of JSON appended since the last take(): a bound on every offset the columns hold.
    std::uint64_t text_bytes() const { return text_bytes_; }

    // Moves the rows out as a struct array of the columns (released by its own callback) and
    // starts again empty.
    void take(ArrowArray* out);

    struct Column;

private:
    Column* root_;
    std::uint64_t text_bytes_ = 0;
};

}  // namespace vorandix::py
