#include "parquet_encoder.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "vorandix/bytes.hpp"

namespace vorandix::py {

namespace {

using Kind = ArrowColumns::Kind;

// Thrift's compact protocol, in which Parquet writes its page headers and its metadata.
namespace thrift {
constexpr int kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6, kBinary = 8,
              kList = 9, kStruct = 12;
}

void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

// Parquet stores values little-endian; Arrow's buffers hold them in the host's order.
void store_le(char* out, std::uint64_t v, int bytes) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &v, static_cast<std::size_t>(bytes));
    } else {
        for (int i = 0; i < bytes; ++i) out[i] = static_cast<char>(v >> (8 * i));
    }
}

// One struct and the structs inside it, written field by field in increasing field order.
class Thrift {
public:
    explicit Thrift(std::string& out) : out_(out) {}

    void i16(int id, std::int16_t v) { integer(id, thrift::kI16, v); }
    void i32(int id, std::int32_t v) { integer(id, thrift::kI32, v); }
    void i64(int id, std::int64_t v) { integer(id, thrift::kI64, v); }
    void byte(int id, std::int8_t v) {
        field(id, thrift::kByte);
        out_.push_back(static_cast<char>(v));
    }
    void boolean(int id, bool v) { field(id, v ? thrift::kTrue : thrift::kFalse); }
    void binary(int id, std::string_view s) {
        field(id, thrift::kBinary);
        string(s);
    }
    // A struct field, closed by end().
    void begin(int id) {
        field(id, thrift::kStruct);
        last_.push_back(0);
    }
    void end() {
        out_.push_back(0);
        last_.pop_back();
    }
    // A list field: its `n` elements of `type` follow.
    void list(int id, int type, std::size_t n) {
        field(id, thrift::kList);
        if (n < 15) {
            out_.push_back(static_cast<char>(n << 4 | static_cast<unsigned>(type)));
        } else {
            out_.push_back(static_cast<char>(0xf0 | type));
            put_varint(out_, n);
        }
    }
    // The elements of a list.
    void struct_element() { last_.push_back(0); }  // its fields follow, then end()
    void i32_element(std::int32_t v) { put_varint(out_, zigzag(v)); }
    void string(std::string_view s) {
        put_varint(out_, s.size());
        out_.append(s);
    }
    void raw(std::string_view serialized_struct) { out_.append(serialized_struct); }
    // Closes the outermost struct.
    void finish() { out_.push_back(0); }

private:
    static std::uint64_t zigzag(std::int64_t v) {
        return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
    }
    void integer(int id, int type, std::int64_t v) {
        field(id, type);
        put_varint(out_, zigzag(v));
    }
    void field(int id, int type) {
        const int delta = id - last_.back();
        if (delta > 0 && delta <= 15) {
            out_.push_back(static_cast<char>(delta << 4 | type));
        } else {
            out_.push_back(static_cast<char>(type));
            put_varint(out_, zigzag(id));
        }
        last_.back() = id;
    }

    std::string& out_;
    std::vector<int> last_{0};
};

// Parquet's enumerations, as its metadata numbers them.
enum PhysicalType { kBoolean = 0, kInt64 = 2, kDouble = 5, kByteArray = 6 };
enum Repetition { kRequired = 0, kOptional = 1, kRepeated = 2 };
enum ConvertedType { kUtf8 = 0, kMapConverted = 1, kListConverted = 3, kUint64 = 14 };
enum Encoding { kPlain = 0, kRle = 3 };
constexpr int kSnappy = 1;
constexpr int kDataPage = 0;
// The union members of LogicalType.
enum Logical { kNoLogical = 0, kString = 1, kMapLogical = 2, kListLogical = 3, kInteger = 10 };

// Statistics longer than this are left out, as pyarrow leaves them out.
constexpr std::size_t kMaxStatisticsBytes = 4096;
constexpr int kMaxDepth = 32;

Kind kind_of(const ArrowSchema& s) {
    const std::string_view f = s.format ? s.format : "";
    if (f == "L") return Kind::UInt64;
    if (f == "l") return Kind::Int64;
    if (f == "g") return Kind::Float64;
    if (f == "b") return Kind::Bool;
    if (f == "u") return Kind::String;
    if (f == "z") return Kind::Binary;
    if (f == "+s") return Kind::Struct;
    if (f == "+l") return Kind::List;
    if (f == "+m") return Kind::Map;
    throw std::invalid_argument("a column of Arrow format '" + std::string(f) +
                                "', which the Parquet encoder does not write");
}

struct Node {
    Kind kind = Kind::Struct;
    std::string name;
    bool optional = false;  // a null takes a definition level of its own
    int def = 0;            // the definition level of a value here
    int rep = 0;            // list and map: the repetition level of their second entry on
    std::size_t leaf = 0;   // its leaves: [leaf, leaf_end) in the leaves' order
    std::size_t leaf_end = 0;
    std::vector<Node> children;  // struct: its fields; list: the element; map: key and value
};

struct Leaf {
    Kind kind = Kind::String;
    std::vector<std::string> path;
    int max_def = 0;
    int max_rep = 0;
    bool statistics = false;

    // The row group being encoded.
    std::vector<std::uint8_t> defs;
    std::vector<std::uint8_t> reps;  // only when max_rep > 0
    std::string values;  // PLAIN: 8 bytes each, bits for booleans, length and bytes for strings
    std::uint64_t bits = 0;
    std::int64_t count = 0;  // entries with a value
    bool has_min_max = false;
    std::string_view min_text, max_text;
    std::uint64_t min_u = 0, max_u = 0;
    std::int64_t min_i = 0, max_i = 0;
    double min_d = 0, max_d = 0;

    void clear() {
        defs.clear();
        reps.clear();
        values.clear();
        bits = 0;
        count = 0;
        has_min_max = false;
    }
};

bool valid_at(const ArrowArray& a, std::int64_t i) {
    const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
    return !bits || ((bits[i >> 3] >> (i & 7)) & 1);
}

const std::int32_t* offsets(const ArrowArray& a) {
    return static_cast<const std::int32_t*>(a.buffers[1]);
}

[[noreturn]] void malformed(const std::string& what) {
    throw std::invalid_argument("rows not laid out as their schema says: " + what);
}

template <class T>
void track(Leaf& leaf, T v, T& lo, T& hi) {
    if (!leaf.has_min_max) {
        lo = hi = v;
        leaf.has_min_max = true;
    } else {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
}

std::string le_bytes(std::uint64_t v) {
    std::string out(8, '\0');
    store_le(out.data(), v, 8);
    return out;
}

}  // namespace

struct ParquetEncoder::Impl {
    Options options;
    std::vector<Node> columns;
    std::vector<Leaf> leaves;
    std::string schema_elements;  // serialized, one struct each
    std::size_t schema_count = 0;
    std::vector<std::string> row_groups;  // serialized RowGroup structs
    std::int64_t rows = 0;
    std::uint64_t offset = kMagic.size();  // where the next row group starts in the file
    std::string page, compressed;           // scratch
    std::vector<std::uint8_t> literal;      // scratch

    void build(Node& node, const ArrowSchema& s, std::vector<std::string>& path, int def, int rep,
               bool required, int depth);
    void element(const Node& node);
    void check(const Node& node, const ArrowArray& a, std::int64_t slots, int depth) const;
    void shred(const Node& node, const ArrowArray& a, std::int64_t i, int def, int rep);
    void nulls(const Node& node, int def, int rep, std::size_t count = 1);
    void value(const Node& node, const ArrowArray& a, std::int64_t p, int rep);
    // Sizes of a column chunk: uncompressed, compressed.
    std::pair<std::int64_t, std::int64_t> chunk(Leaf& leaf, std::uint64_t start, std::string& out,
                                                std::string& meta);
    void levels(const std::uint8_t* v, std::size_t n, int max, std::string& out);
    void flush_literal(int width, std::string& out);
};

void ParquetEncoder::Impl::build(Node& node, const ArrowSchema& s, std::vector<std::string>& path,
                                 int def, int rep, bool required, int depth) {
    if (depth > kMaxDepth) throw std::invalid_argument("a schema nested too deeply");
    node.kind = kind_of(s);
    node.optional = !required && (s.flags & ARROW_FLAG_NULLABLE);
    node.def = def + (node.optional ? 1 : 0);
    node.leaf = leaves.size();
    path.push_back(node.name);
    const auto child = [&](std::int64_t i) -> const ArrowSchema& {
        if (i >= s.n_children || !s.children || !s.children[i]) {
            throw std::invalid_argument("a schema with a child missing");
        }
        return *s.children[i];
    };
    switch (node.kind) {
        case Kind::Struct:
            for (std::int64_t i = 0; i < s.n_children; ++i) {
                Node field;
                field.name = child(i).name ? child(i).name : "";
                build(field, child(i), path, node.def, rep, false, depth + 1);
                node.children.push_back(std::move(field));
            }
            break;
        case Kind::List: {
            node.rep = rep + 1;
            path.push_back("list");
            Node element;
            element.name = "element";
            build(element, child(0), path, node.def + 1, node.rep, false, depth + 1);
            node.children.push_back(std::move(element));
            path.pop_back();
            break;
        }
        case Kind::Map: {
            const ArrowSchema& entries = child(0);
            if (kind_of(entries) != Kind::Struct || entries.n_children != 2 || !entries.children) {
                throw std::invalid_argument("a map whose entries are not a key and a value");
            }
            node.rep = rep + 1;
            path.push_back("key_value");
            for (int i = 0; i < 2; ++i) {
                if (!entries.children[i]) {
                    throw std::invalid_argument("a schema with a child missing");
                }
                Node part;
                part.name = entries.children[i]->name ? entries.children[i]->name : "";
                build(part, *entries.children[i], path, node.def + 1, node.rep, i == 0, depth + 1);
                node.children.push_back(std::move(part));
            }
            path.pop_back();
            break;
        }
        default: {
            Leaf leaf;
            leaf.kind = node.kind;
            leaf.path = path;
            leaf.max_def = node.def;
            leaf.max_rep = rep;
            std::string dotted;
            for (const auto& part : path) dotted += (dotted.empty() ? "" : ".") + part;
            leaf.statistics = rep == 0 && node.kind != Kind::Bool &&
                              std::count(options.statistics.begin(), options.statistics.end(),
                                         dotted) > 0;
            leaves.push_back(std::move(leaf));
        }
    }
    path.pop_back();
    node.leaf_end = leaves.size();
}

// The node's SchemaElement, and those of the groups and leaves below it.
void ParquetEncoder::Impl::element(const Node& node) {
    const auto write = [&](int type, int repetition, std::string_view name, int children,
                           int converted, Logical logical) {
        Thrift t(schema_elements);
        if (type >= 0) t.i32(1, type);
        t.i32(3, repetition);
        t.binary(4, name);
        if (children >= 0) t.i32(5, children);
        if (converted >= 0) t.i32(6, converted);
        if (logical != kNoLogical) {
            t.begin(10);
            t.begin(logical);
            if (logical == kInteger) {
                t.byte(1, 64);
                t.boolean(2, false);
            }
            t.end();
            t.end();
        }
        t.finish();
        ++schema_count;
    };
    const int repetition = node.optional ? kOptional : kRequired;
    const int n = static_cast<int>(node.children.size());
    switch (node.kind) {
        case Kind::Struct:
            write(-1, repetition, node.name, n, -1, kNoLogical);
            break;
        case Kind::List:
            write(-1, repetition, node.name, 1, kListConverted, kListLogical);
            write(-1, kRepeated, "list", 1, -1, kNoLogical);
            break;
        case Kind::Map:
            write(-1, repetition, node.name, 1, kMapConverted, kMapLogical);
            write(-1, kRepeated, "key_value", 2, -1, kNoLogical);
            break;
        case Kind::UInt64:
            write(kInt64, repetition, node.name, -1, kUint64, kInteger);
            break;
        case Kind::Int64:
            write(kInt64, repetition, node.name, -1, -1, kNoLogical);
            break;
        case Kind::Float64:
            write(kDouble, repetition, node.name, -1, -1, kNoLogical);
            break;
        case Kind::Bool:
            write(kBoolean, repetition, node.name, -1, -1, kNoLogical);
            break;
        case Kind::String:
            write(kByteArray, repetition, node.name, -1, kUtf8, kString);
            break;
        case Kind::Binary:
            write(kByteArray, repetition, node.name, -1, -1, kNoLogical);
            break;
    }
    for (const Node& c : node.children) element(c);
}

// That `a` holds `slots` values laid out for `node`, so that shred() reads only inside it.
void ParquetEncoder::Impl::check(const Node& node, const ArrowArray& a, std::int64_t slots,
                                 int depth) const {
    if (depth > kMaxDepth) malformed("nested too deeply");
    if (a.offset < 0 || a.length < slots || a.offset > INT64_MAX - a.length) {
        malformed("an array shorter than its parent says");
    }
    const std::int64_t buffers = node.kind == Kind::Struct                            ? 1
                                 : node.kind == Kind::String || node.kind == Kind::Binary ? 3
                                                                                         : 2;
    if (a.n_buffers != buffers || !a.buffers) malformed("buffers missing");
    if (slots == 0) return;
    // A column declared without nulls has no definition level to mark one with.
    if (!node.optional && a.null_count != 0 && a.buffers[0]) {
        for (std::int64_t i = 0; i < slots; ++i) {
            if (!valid_at(a, a.offset + i)) malformed("a null where the schema allows none");
        }
    }
    if (buffers >= 2 && !a.buffers[1]) malformed("a buffer missing");
    std::int64_t end = 0;  // the child slots (or string bytes) that the offsets reach
    if (node.kind == Kind::String || node.kind == Kind::Binary || node.kind == Kind::List ||
        node.kind == Kind::Map) {
        const std::int32_t* off = offsets(a) + a.offset;
        if (off[0] < 0) malformed("a negative offset");
        for (std::int64_t i = 0; i < slots; ++i) {
            if (off[i + 1] < off[i]) malformed("offsets going back");
        }
        end = off[slots];
        // Strings that are all empty may have no bytes at all.
        if (buffers == 3 && end > off[0] && !a.buffers[2]) malformed("a buffer missing");
    }
    const auto child = [&](const ArrowArray& parent, std::size_t i) -> const ArrowArray& {
        if (static_cast<std::size_t>(parent.n_children) <= i || !parent.children ||
            !parent.children[i]) {
            malformed("a child missing");
        }
        return *parent.children[i];
    };
    switch (node.kind) {
        case Kind::Struct:
            if (static_cast<std::size_t>(a.n_children) != node.children.size()) {
                malformed("a struct of other fields");
            }
            for (std::size_t i = 0; i < node.children.size(); ++i) {
                check(node.children[i], child(a, i), a.offset + slots, depth + 1);
            }
            break;
        case Kind::List:
            check(node.children[0], child(a, 0), end, depth + 1);
            break;
        case Kind::Map: {
            const ArrowArray& entries = child(a, 0);
            if (entries.offset < 0 || entries.length < end || entries.n_children != 2 ||
                entries.offset > INT64_MAX - entries.length) {
                malformed("map entries out of place");
            }
            for (std::size_t i = 0; i < 2; ++i) {
                check(node.children[i], child(entries, i), entries.offset + end, depth + 1);
            }
            break;
        }
        default:
            break;
    }
}

void ParquetEncoder::Impl::nulls(const Node& node, int def, int rep, std::size_t count) {
    for (std::size_t i = node.leaf; i < node.leaf_end; ++i) {
        Leaf& leaf = leaves[i];
        leaf.defs.insert(leaf.defs.end(), count, static_cast<std::uint8_t>(def));
        if (leaf.max_rep > 0) {
            leaf.reps.insert(leaf.reps.end(), count, static_cast<std::uint8_t>(rep));
        }
    }
}

// Logical slot `i` of `a` for `node`, whose parent is defined to `def`.
void ParquetEncoder::Impl::shred(const Node& node, const ArrowArray& a, std::int64_t i, int def,
                                 int rep) {
    const std::int64_t p = a.offset + i;
    if (node.optional && !valid_at(a, p)) {
        nulls(node, def, rep);
        return;
    }
    switch (node.kind) {
        case Kind::Struct:
            for (std::size_t k = 0; k < node.children.size(); ++k) {
                shred(node.children[k], *a.children[k], p, node.def, rep);
            }
            return;
        case Kind::List:
        case Kind::Map: {
            const std::int32_t begin = offsets(a)[p], end = offsets(a)[p + 1];
            if (begin == end) {
                nulls(node, node.def, rep);
                return;
            }
            for (std::int32_t j = begin; j < end; ++j) {
                const int r = j == begin ? rep : node.rep;
                if (node.kind == Kind::List) {
                    shred(node.children[0], *a.children[0], j, node.def + 1, r);
                } else {
                    const ArrowArray& entries = *a.children[0];
                    const std::int64_t q = entries.offset + j;
                    shred(node.children[0], *entries.children[0], q, node.def + 1, r);
                    shred(node.children[1], *entries.children[1], q, node.def + 1, r);
                }
            }
            return;
        }
        default:
            value(node, a, p, rep);
    }
}

void ParquetEncoder::Impl::value(const Node& node, const ArrowArray& a, std::int64_t p, int rep) {
    Leaf& leaf = leaves[node.leaf];
    leaf.defs.push_back(static_cast<std::uint8_t>(node.def));
    if (leaf.max_rep > 0) leaf.reps.push_back(static_cast<std::uint8_t>(rep));
    ++leaf.count;
    const auto* data = static_cast<const char*>(a.buffers[node.kind == Kind::String ||
                                                                  node.kind == Kind::Binary
                                                              ? 2
                                                              : 1]);
    switch (node.kind) {
        case Kind::Bool: {
            const auto* flags = static_cast<const std::uint8_t*>(a.buffers[1]);
            const bool bit = (flags[p >> 3] >> (p & 7)) & 1;
            if ((leaf.bits & 7) == 0) leaf.values.push_back(0);
            if (bit) leaf.values.back() |= static_cast<char>(1u << (leaf.bits & 7));
            ++leaf.bits;
            return;
        }
        case Kind::String:
        case Kind::Binary: {
            const std::int32_t begin = offsets(a)[p];
            const auto size = static_cast<std::uint32_t>(offsets(a)[p + 1] - begin);
            const std::string_view text = size ? std::string_view(data + begin, size) : "";
            const std::size_t at = leaf.values.size();
            leaf.values.resize(at + 4 + size);
            store_le(leaf.values.data() + at, size, 4);
            if (size) std::memcpy(leaf.values.data() + at + 4, text.data(), size);
            if (leaf.statistics) track(leaf, text, leaf.min_text, leaf.max_text);
            return;
        }
        default:
            break;
    }
    std::uint64_t bits;
    std::memcpy(&bits, data + p * 8, 8);
    char le[8];
    store_le(le, bits, 8);
    leaf.values.append(le, 8);
    if (!leaf.statistics) return;
    if (node.kind == Kind::UInt64) {
        track(leaf, bits, leaf.min_u, leaf.max_u);
    } else if (node.kind == Kind::Int64) {
        track(leaf, static_cast<std::int64_t>(bits), leaf.min_i, leaf.max_i);
    } else {
        const double v = std::bit_cast<double>(bits);
        if (!std::isnan(v)) track(leaf, v, leaf.min_d, leaf.max_d);
    }
}

// Levels in the RLE / bit-packed hybrid, preceded by their length: runs of 8 or more equal
// levels as runs, the rest bit-packed in groups of 8.
void ParquetEncoder::Impl::levels(const std::uint8_t* v, std::size_t n, int max,
                                  std::string& out) {
    const int width = std::bit_width(static_cast<unsigned>(max));
    const std::size_t at = out.size();
    out.append(4, '\0');
    literal.clear();
    for (std::size_t i = 0; i < n;) {
        std::size_t run = 1;
        while (i + run < n && v[i + run] == v[i]) ++run;
        if (run < 8) {
            literal.insert(literal.end(), v + i, v + i + run);
            i += run;
            continue;
        }
        // Bit-packed groups hold 8 levels each: the run completes the last one.
        const std::size_t fill = (8 - literal.size() % 8) % 8;
        literal.insert(literal.end(), fill, v[i]);
        i += fill;
        run -= fill;
        flush_literal(width, out);
        if (run >= 8) {
            put_varint(out, static_cast<std::uint64_t>(run) << 1);
            out.push_back(static_cast<char>(v[i]));
            i += run;
        }
    }
    flush_literal(width, out);
    const std::size_t size = out.size() - at - 4;
    if (size > UINT32_MAX) throw std::length_error("levels of 4 GiB");
    store_le(out.data() + at, size, 4);
}

void ParquetEncoder::Impl::flush_literal(int width, std::string& out) {
    if (literal.empty()) return;
    literal.resize((literal.size() + 7) / 8 * 8, 0);  // only the last group has padding
    put_varint(out, (static_cast<std::uint64_t>(literal.size() / 8) << 1) | 1);
    std::uint64_t acc = 0;
    int held = 0;
    for (std::uint8_t level : literal) {
        acc |= static_cast<std::uint64_t>(level) << held;
        held += width;
        while (held >= 8) {
            out.push_back(static_cast<char>(acc));
            acc >>= 8;
            held -= 8;
        }
    }
    literal.clear();
}

// The leaf's column chunk, in pages, appended to `out` to start at `start` in the file; its
// ColumnChunk metadata appended to `meta`.
std::pair<std::int64_t, std::int64_t> ParquetEncoder::Impl::chunk(Leaf& leaf, std::uint64_t start,
                                                                  std::string& out,
                                                                  std::string& meta) {
    const std::size_t n = leaf.defs.size();
    std::int64_t uncompressed_total = 0, compressed_total = 0;
    std::size_t e = 0, at = 0;  // the next entry, and where its value starts
    do {
        const std::size_t first = e, from = at;
        if (leaf.values.size() < options.page_bytes) {  // one page holds the whole chunk
            e = n;
            at = leaf.kind == Kind::Bool ? leaf.bits : leaf.values.size();
        }
        for (; e < n; ++e) {
            const bool boundary = leaf.max_rep == 0 || leaf.reps[e] == 0;
            const std::size_t bytes = leaf.kind == Kind::Bool ? (at - from) / 8 : at - from;
            if (e > first && boundary && bytes >= options.page_bytes) break;
            if (leaf.defs[e] != leaf.max_def) continue;
            if (leaf.kind == Kind::Bool) {
                ++at;  // bits, for booleans
            } else if (leaf.kind == Kind::String || leaf.kind == Kind::Binary) {
                const auto* length = reinterpret_cast<const std::uint8_t*>(leaf.values.data() + at);
                at += 4 + load_u32le(length);
            } else {
                at += 8;
            }
        }
        page.clear();
        if (leaf.max_rep > 0) levels(leaf.reps.data() + first, e - first, leaf.max_rep, page);
        if (leaf.max_def > 0) levels(leaf.defs.data() + first, e - first, leaf.max_def, page);
        if (leaf.kind == Kind::Bool) {
            for (std::size_t bit = from; bit < at; ++bit) {
                const std::size_t k = bit - from;
                if ((k & 7) == 0) page.push_back(0);
                const auto byte = static_cast<std::uint8_t>(leaf.values[bit >> 3]);
                if ((byte >> (bit & 7)) & 1) page.back() |= static_cast<char>(1u << (k & 7));
            }
        } else {
            page.append(leaf.values, from, at - from);
        }
        if (page.size() > INT32_MAX / 2) throw std::length_error("a Parquet page of 1 GiB or more");
        compressed.clear();
        snappy_compress(reinterpret_cast<const std::uint8_t*>(page.data()), page.size(),
                        compressed);
        const std::size_t header_at = out.size();
        Thrift h(out);
        h.i32(1, kDataPage);
        h.i32(2, static_cast<std::int32_t>(page.size()));
        h.i32(3, static_cast<std::int32_t>(compressed.size()));
        h.begin(5);
        h.i32(1, static_cast<std::int32_t>(e - first));
        h.i32(2, kPlain);
        h.i32(3, kRle);
        h.i32(4, kRle);
        h.end();
        h.finish();
        const auto header = static_cast<std::int64_t>(out.size() - header_at);
        out.append(compressed);
        uncompressed_total += header + static_cast<std::int64_t>(page.size());
        compressed_total += header + static_cast<std::int64_t>(compressed.size());
    } while (e < n);

    Thrift c(meta);
    c.i64(2, static_cast<std::int64_t>(start));
    c.begin(3);
    c.i32(1, leaf.kind == Kind::Bool      ? kBoolean
             : leaf.kind == Kind::Float64 ? kDouble
             : leaf.kind == Kind::String || leaf.kind == Kind::Binary ? kByteArray
                                                                      : kInt64);
    c.list(2, thrift::kI32, 2);
    c.i32_element(kPlain);
    c.i32_element(kRle);
    c.list(3, thrift::kBinary, leaf.path.size());
    for (const auto& part : leaf.path) c.string(part);
    c.i32(4, kSnappy);
    c.i64(5, static_cast<std::int64_t>(n));
    c.i64(6, uncompressed_total);
    c.i64(7, compressed_total);
    c.i64(9, static_cast<std::int64_t>(start));
    if (leaf.statistics) {
        c.begin(12);
        c.i64(3, static_cast<std::int64_t>(n) - leaf.count);
        std::string lo, hi;
        if (leaf.has_min_max) {
            switch (leaf.kind) {
                case Kind::UInt64:
                    lo = le_bytes(leaf.min_u), hi = le_bytes(leaf.max_u);
                    break;
                case Kind::Int64:
                    lo = le_bytes(static_cast<std::uint64_t>(leaf.min_i));
                    hi = le_bytes(static_cast<std::uint64_t>(leaf.max_i));
                    break;
                case Kind::Float64: {
                    // A zero bound is written as -0.0 below and +0.0 above, as readers expect.
                    const double low = leaf.min_d == 0 ? -0.0 : leaf.min_d;
                    const double high = leaf.max_d == 0 ? 0.0 : leaf.max_d;
                    lo = le_bytes(std::bit_cast<std::uint64_t>(low));
                    hi = le_bytes(std::bit_cast<std::uint64_t>(high));
                    break;
                }
                default:
                    lo = leaf.min_text, hi = leaf.max_text;
            }
        }
        if (leaf.has_min_max && lo.size() <= kMaxStatisticsBytes &&
            hi.size() <= kMaxStatisticsBytes) {
            c.binary(5, hi);
            c.binary(6, lo);
        }
        c.end();
    }
    c.end();
    c.finish();
    leaf.clear();
    return {uncompressed_total, compressed_total};
}

ParquetEncoder::ParquetEncoder(const ArrowSchema& schema, Options options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    if (kind_of(schema) != Kind::Struct) throw std::invalid_argument("a table is a struct");
    std::vector<std::string> path;
    for (std::int64_t i = 0; i < schema.n_children; ++i) {
        if (!schema.children || !schema.children[i]) {
            throw std::invalid_argument("a schema with a child missing");
        }
        Node column;
        column.name = schema.children[i]->name ? schema.children[i]->name : "";
        impl_->build(column, *schema.children[i], path, 0, 0, false, 1);
        impl_->columns.push_back(std::move(column));
    }
    // The root, then every column's elements.
    Thrift root(impl_->schema_elements);
    root.i32(3, kRequired);
    root.binary(4, "schema");
    root.i32(5, static_cast<std::int32_t>(impl_->columns.size()));
    root.finish();
    impl_->schema_count = 1;
    for (const Node& column : impl_->columns) impl_->element(column);
}

ParquetEncoder::~ParquetEncoder() = default;

void ParquetEncoder::row_group(const ArrowArray& rows, std::string& out) {
    Impl& im = *impl_;
    if (rows.n_children != static_cast<std::int64_t>(im.columns.size()) || !rows.children ||
        rows.offset < 0 || rows.length < 0 || rows.offset > INT64_MAX - rows.length) {
        malformed("a table of other columns");
    }
    for (std::size_t k = 0; k < im.columns.size(); ++k) {
        if (!rows.children[k]) malformed("a column missing");
        im.check(im.columns[k], *rows.children[k], rows.offset + rows.length, 1);
    }
    const std::size_t out_start = out.size();
    try {
        // A column at a time, so that its leaves' levels stay in cache; a run of rows without
        // the column (most rows leave most sections out) takes one step per leaf.
        for (std::size_t k = 0; k < im.columns.size(); ++k) {
            const Node& column = im.columns[k];
            const ArrowArray& a = *rows.children[k];
            for (std::int64_t i = rows.offset, end = rows.offset + rows.length; i < end;) {
                std::int64_t j = i;
                while (column.optional && j < end && !valid_at(a, a.offset + j)) ++j;
                if (j > i) {
                    im.nulls(column, 0, 0, static_cast<std::size_t>(j - i));
                    i = j;
                } else {
                    im.shred(column, a, i++, 0, 0);
                }
            }
        }
        std::string group;
        Thrift g(group);
        g.list(1, thrift::kStruct, im.leaves.size());
        std::int64_t uncompressed = 0, compressed = 0;
        std::string meta;
        for (Leaf& leaf : im.leaves) {
            meta.clear();
            const auto sizes = im.chunk(leaf, im.offset + (out.size() - out_start), out, meta);
            uncompressed += sizes.first;
            compressed += sizes.second;
            g.raw(meta);
        }
        g.i64(2, uncompressed);
        g.i64(3, rows.length);
        g.i64(5, static_cast<std::int64_t>(im.offset));
        g.i64(6, compressed);
        if (im.row_groups.size() <= INT16_MAX) {
            g.i16(7, static_cast<std::int16_t>(im.row_groups.size()));
        }
        g.finish();
        im.row_groups.push_back(std::move(group));
    } catch (...) {
        out.resize(out_start);
        for (Leaf& leaf : im.leaves) leaf.clear();
        throw;
    }
    im.rows += rows.length;
    im.offset += out.size() - out_start;
}

std::string ParquetEncoder::footer() const {
    const Impl& im = *impl_;
    std::string out;
    Thrift f(out);
    f.i32(1, 2);
    f.list(2, thrift::kStruct, im.schema_count);
    f.raw(im.schema_elements);
    f.i64(3, im.rows);
    f.list(4, thrift::kStruct, im.row_groups.size());
    for (const auto& group : im.row_groups) f.raw(group);
    if (!im.options.key_values.empty()) {
        f.list(5, thrift::kStruct, im.options.key_values.size());
        for (const auto& [key, value] : im.options.key_values) {
            f.struct_element();
            f.binary(1, key);
            f.binary(2, value);
            f.end();
        }
    }
    f.binary(6, im.options.created_by);
    // Every column ordered as its type says: unsigned for UINT_64 and for strings, which tells
    // readers how to take the statistics.
    f.list(7, thrift::kStruct, im.leaves.size());
    for (std::size_t i = 0; i < im.leaves.size(); ++i) {
        f.struct_element();
        f.begin(1);
        f.end();
        f.end();
    }
    f.finish();
    const std::size_t size = out.size();
    if (size > UINT32_MAX) throw std::length_error("Parquet metadata of 4 GiB");
    out.append(4, '\0');
    store_le(out.data() + size, size, 4);
    out.append(kMagic);
    return out;
}

// Snappy's raw format: the length as a varint, then literals and copies of earlier bytes. Each
// 64 KiB block is matched within itself, 4 bytes at a time, through a table of hashes.
void snappy_compress(const std::uint8_t* data, std::size_t size, std::string& out) {
    put_varint(out, size);
    const auto literal = [&](std::size_t from, std::size_t to) {
        if (from == to) return;
        const std::size_t n = to - from - 1;
        if (n < 60) {
            out.push_back(static_cast<char>(n << 2));
        } else {
            const int bytes = n < (1u << 8) ? 1 : n < (1u << 16) ? 2 : n < (1u << 24) ? 3 : 4;
            out.push_back(static_cast<char>((59 + bytes) << 2));
            for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
        }
        out.append(reinterpret_cast<const char*>(data + from), to - from);
    };
    const auto copy = [&](std::size_t distance, std::size_t length) {
        const auto two_byte = [&](std::size_t len) {
            out.push_back(static_cast<char>(2 | ((len - 1) << 2)));
            out.push_back(static_cast<char>(distance));
            out.push_back(static_cast<char>(distance >> 8));
        };
        while (length >= 68) {
            two_byte(64);
            length -= 64;
        }
        if (length > 64) {
            two_byte(60);
            length -= 60;
        }
        if (length <= 11 && distance < 2048) {
            out.push_back(static_cast<char>(1 | ((length - 4) << 2) | ((distance >> 8) << 5)));
            out.push_back(static_cast<char>(distance));
        } else {
            two_byte(length);
        }
    };
    constexpr int kMaxHashBits = 14;
    constexpr std::size_t kBlock = 1 << 16;
    static thread_local std::uint16_t table[1 << kMaxHashBits];
    const auto load = [&](std::size_t i) {
        std::uint32_t v;
        std::memcpy(&v, data + i, 4);
        return v;
    };
    for (std::size_t block = 0; block < size; block += kBlock) {
        const std::size_t end = std::min(size, block + kBlock);
        // Most pages are small: a table in proportion spares clearing all of it for each.
        const int bits = std::clamp(static_cast<int>(std::bit_width(end - block)), 8, kMaxHashBits);
        std::memset(table, 0, sizeof(std::uint16_t) << bits);
        std::size_t pending = block;  // the first byte not yet written
        std::size_t i = block + 1;
        std::size_t misses = 0;
        while (i + 4 <= end) {
            const std::uint32_t v = load(i);
            const std::uint32_t h = (v * 0x1e35a7bdu) >> (32 - bits);
            const std::size_t candidate = block + table[h];
            table[h] = static_cast<std::uint16_t>(i - block);
            if (candidate >= i || load(candidate) != v) {
                // Skip faster through bytes that do not repeat, as Snappy itself does.
                i += 1 + (misses++ >> 5);
                continue;
            }
            misses = 0;
            std::size_t length = 4;
            while (i + length < end && data[candidate + length] == data[i + length]) ++length;
            literal(pending, i);
            copy(i - candidate, length);
            i += length;
            pending = i;
        }
        literal(pending, end);
    }
}

}  // namespace vorandix::py
