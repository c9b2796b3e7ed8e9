// The value model every reader reports in, and the report one call produces.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vorandix {

class MetaValue;
using MetaList = std::vector<MetaValue>;

struct Rational {
    std::int64_t num = 0;
    std::int64_t den = 0;
    double value = 0.0;
    bool operator==(const Rational&) const = default;
};

// Raw bytes; kept apart from text so that the document form can write them as hex.
struct Bytes {
    std::vector<std::uint8_t> data;
    bool operator==(const Bytes&) const = default;
};

// A map from UTF-8 keys to values, iterated in ascending byte order of the keys
// (std::string compares as unsigned bytes). Inserting an existing key replaces its value.
//
// The entries are one sorted array: an object costs its entries and nothing per entry beyond
// them, which matters when a section lists a hundred thousand of them. Inserting in key order
// appends; objects filled in file order (text keywords, tag names) are built with
// `from_entries`, whose cost does not grow with the square of their size.
class MetaObject {
public:
    using Entry = std::pair<std::string, MetaValue>;

    MetaObject() = default;
    // The object of `entries` in any order; of several entries with one key, the last wins.
    static MetaObject from_entries(std::vector<Entry> entries);

    // Stores `value` under `key`; returns the value it replaced, if any.
    std::optional<MetaValue> insert(std::string key, MetaValue value);
    void insert_string(std::string key, std::string text);
    void insert_u64(std::string key, std::uint64_t v);
    void insert_bool(std::string key, bool v);
    void insert_list(std::string key, MetaList list);
    void insert_object(std::string key, MetaObject object);

    // The object stored under `key`, after storing an empty one there if the key is absent
    // or holds another kind of value.
    MetaObject& object_at(std::string_view key);

    const MetaValue* find(std::string_view key) const;
    // Defined below, where MetaValue is complete.
    std::size_t size() const;
    bool empty() const;
    void reserve(std::size_t n);
    void shrink_to_fit();
    std::vector<Entry>::const_iterator begin() const;
    std::vector<Entry>::const_iterator end() const;
    std::vector<Entry>::iterator begin();
    std::vector<Entry>::iterator end();

    bool operator==(const MetaObject&) const;

private:
    // The first entry whose key is not below `key`.
    std::vector<Entry>::iterator lower(std::string_view key);

    std::vector<Entry> entries_;
};

enum class ValueKind { Null, Bool, Int, UInt, Float, Rational, String, Bytes, List, Object };

class MetaValue {
public:
    using Storage = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                                 Rational, std::string, Bytes, MetaList, MetaObject>;

    MetaValue() = default;
    static MetaValue null() { return MetaValue(); }
    static MetaValue boolean(bool v) { return MetaValue(std::in_place_index<1>, v); }
    static MetaValue integer(std::int64_t v) {
        return MetaValue(std::in_place_index<2>, v);
    }
    static MetaValue uinteger(std::uint64_t v) {
        return MetaValue(std::in_place_index<3>, v);
    }
    static MetaValue floating(double v) { return MetaValue(std::in_place_index<4>, v); }
    static MetaValue rational(std::int64_t num, std::int64_t den, double value) {
        return MetaValue(std::in_place_index<5>, Rational{num, den, value});
    }
    static MetaValue string(std::string v) {
        return MetaValue(std::in_place_index<6>, std::move(v));
    }
    static MetaValue bytes(std::vector<std::uint8_t> v) {
        return MetaValue(std::in_place_index<7>, Bytes{std::move(v)});
    }
    static MetaValue list(MetaList v) {
        return MetaValue(std::in_place_index<8>, std::move(v));
    }
    static MetaValue object(MetaObject v) {
        return MetaValue(std::in_place_index<9>, std::move(v));
    }

    ValueKind kind() const { return static_cast<ValueKind>(storage_.index()); }
    const Storage& storage() const { return storage_; }
    Storage& storage() { return storage_; }

    bool operator==(const MetaValue&) const = default;

private:
    template <std::size_t I, class... A>
    explicit MetaValue(std::in_place_index_t<I> tag, A&&... args)
        : storage_(tag, std::forward<A>(args)...) {}
    Storage storage_;
};

inline std::size_t MetaObject::size() const { return entries_.size(); }
inline bool MetaObject::empty() const { return entries_.empty(); }
inline void MetaObject::reserve(std::size_t n) { entries_.reserve(n); }
inline void MetaObject::shrink_to_fit() { entries_.shrink_to_fit(); }
inline std::vector<MetaObject::Entry>::const_iterator MetaObject::begin() const {
    return entries_.begin();
}
inline std::vector<MetaObject::Entry>::const_iterator MetaObject::end() const {
    return entries_.end();
}
inline std::vector<MetaObject::Entry>::iterator MetaObject::begin() { return entries_.begin(); }
inline std::vector<MetaObject::Entry>::iterator MetaObject::end() { return entries_.end(); }

// What one successful reader returns: its name (the report's section key) and its fields.
struct Section {
    explicit Section(const char* section_name) : name(section_name) {}
    const char* name;
    MetaObject fields;

    void insert(std::string key, MetaValue v) { fields.insert(std::move(key), std::move(v)); }
    void insert_string(std::string key, std::string t) {
        fields.insert_string(std::move(key), std::move(t));
    }
    void insert_u64(std::string key, std::uint64_t v) { fields.insert_u64(std::move(key), v); }
    void insert_bool(std::string key, bool v) { fields.insert_bool(std::move(key), v); }
    void insert_list(std::string key, MetaList l) {
        fields.insert_list(std::move(key), std::move(l));
    }
    void insert_object(std::string key, MetaObject o) {
        fields.insert_object(std::move(key), std::move(o));
    }
};

struct ErrorRecord {
    std::string extractor;
    std::string message;
    bool operator==(const ErrorRecord&) const = default;
};

struct Report {
    std::map<std::string, MetaObject, std::less<>> sections;
    std::vector<ErrorRecord> errors;
    // The run was stopped by its Interrupt; the sections and errors are then incomplete.
    bool interrupted = false;
};

// Orders the sections by name (the last of equal names wins) and keeps the errors in run order.
Report assemble(std::vector<Section> sections, std::vector<ErrorRecord> errors);

}  // namespace vorandix
