#include "arrow_columns.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

#include "vorandix/bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorandix::py {

namespace {

// Bits in Arrow's order: bit i of the buffer is (byte i / 8) >> (i % 8).
struct Bits {
    std::vector<std::uint8_t> bytes;
    std::int64_t size = 0;

    void push(bool v) {
        if ((size & 7) == 0) bytes.push_back(0);
        if (v) bytes.back() |= static_cast<std::uint8_t>(1u << (size & 7));
        ++size;
    }
    // Bits added are 0; the bits past the end are kept 0, so that growing again adds zeros.
    void resize(std::int64_t n) {
        size = n;
        bytes.resize(static_cast<std::size_t>((n + 7) / 8), 0);
        if (n & 7) bytes.back() &= static_cast<std::uint8_t>((1u << (n & 7)) - 1);
    }
    std::int64_t ones() const {
        std::int64_t n = 0;
        for (std::uint8_t b : bytes) n += std::popcount(b);
        return n;
    }
};

// Tables nest a few levels; a deeper schema is not one of ours. Records cannot nest deeper
// than the schema: a value that does not match its column fails first.
constexpr int kMaxDepth = 32;

// Integers a double holds exactly: what a float column accepts from an integer.
constexpr std::uint64_t kExactInDouble = std::uint64_t{1} << 53;

}  // namespace

using Kind = ArrowColumns::Kind;

struct ArrowColumns::Column {
    Kind kind;
    std::string name;
    std::vector<Column> children;  // struct: its fields; list: the item; map: the entries struct
    Bits valid;
    std::int64_t length = 0;
    std::int64_t nulls = 0;
    std::vector<std::uint8_t> data;        // 8-byte values, or the bytes of strings
    Bits flags;                            // bool values
    std::vector<std::int32_t> offsets{0};  // strings, binaries, lists and maps

    void set_valid() {
        valid.push(true);
        ++length;
    }

    // A null row. The fields of a struct are not touched: they catch up, all at once, when
    // a later row gives them a value (pad) or when the rows are taken (complete); most rows
    // leave most sections out, so this is where nulls are cheap.
    void null() { nulls_up_to(length + 1); }

    // Null rows until there are n.
    void nulls_up_to(std::int64_t n) {
        if (n <= length) return;
        valid.resize(n);
        nulls += n - length;
        size_rows(n);
        length = n;
    }

    // Brings every struct's fields to the struct's length, as Arrow requires.
    void complete() {
        if (kind == Kind::Struct) {
            for (Column& child : children) child.nulls_up_to(length);
        }
        for (Column& child : children) child.complete();
    }

    // Back to its first n rows (or fewer, for a struct's field that has not caught up). Nested
    // columns always descend: a record that failed half-way leaves rows in children that their
    // parent never counted.
    void truncate(std::int64_t n) {
        const std::int64_t m = std::min(n, length);
        size_rows(m);
        if (m < length) {
            valid.resize(m);
            length = m;
            nulls = m - valid.ones();
        }
    }

    // Sizes what is kept per row to n rows: rows added are null (a zero value, an empty span);
    // rows dropped take what they hold in children and text along.
    void size_rows(std::int64_t n) {
        const auto un = static_cast<std::size_t>(n);
        const bool shrink = n < length;
        // n == length too: a record that failed in a list or a struct left items below it.
        const bool descend = n <= length;
        switch (kind) {
            case Kind::UInt64:
            case Kind::Int64:
            case Kind::Float64:
                data.resize(un * 8);
                break;
            case Kind::Bool:
                flags.resize(n);
                break;
            case Kind::String:
            case Kind::Binary:
                if (shrink) data.resize(static_cast<std::size_t>(offsets[un]));
                offsets.resize(un + 1, offsets.back());
                break;
            case Kind::List:
            case Kind::Map:
                if (descend) children[0].truncate(offsets[un]);
                offsets.resize(un + 1, offsets.back());
                break;
            case Kind::Struct:
                if (descend) {
                    for (Column& child : children) child.truncate(n);
                }
                break;
        }
    }

    template <typename T>
    void put(T v) {
        set_valid();
        const std::size_t at = data.size();
        data.resize(at + sizeof v);
        std::memcpy(data.data() + at, &v, sizeof v);
    }

    void put_text(std::string_view text) {
        set_valid();
        data.insert(data.end(), text.begin(), text.end());
        close_offsets(data.size());
    }

    void close_offsets(std::size_t end) {
        if (end > static_cast<std::size_t>(INT32_MAX))
            throw RowError{{}, "a column outgrew its offsets"};
        offsets.push_back(static_cast<std::int32_t>(end));
    }
};

namespace {

using Column = ArrowColumns::Column;

Column from_schema(const ArrowSchema& s, int depth) {
    if (depth > kMaxDepth) throw std::invalid_argument("schema nested too deeply");
    const std::string_view format = s.format ? s.format : "";
    Column c{};
    c.name = s.name ? s.name : "";
    static constexpr std::pair<std::string_view, Kind> kFormats[] = {
        {"L", Kind::UInt64},  {"l", Kind::Int64},  {"g", Kind::Float64},
        {"b", Kind::Bool},    {"u", Kind::String}, {"z", Kind::Binary},
        {"+s", Kind::Struct}, {"+l", Kind::List},  {"+m", Kind::Map},
    };
    bool known = false;
    for (const auto& [text, kind] : kFormats) {
        if (format == text) {
            c.kind = kind;
            known = true;
        }
    }
    if (!known) throw std::invalid_argument("unsupported Arrow type '" + std::string(format) + "'");
    const bool nested = c.kind == Kind::Struct || c.kind == Kind::List || c.kind == Kind::Map;
    if (!nested && s.n_children != 0) throw std::invalid_argument("a leaf type with children");
    if (c.kind == Kind::Struct && s.n_children > 64) {
        throw std::invalid_argument("a struct of more than 64 fields");
    }
    if (c.kind != Kind::Struct && nested && s.n_children != 1) {
        throw std::invalid_argument("a list or map without exactly one child");
    }
    for (std::int64_t i = 0; i < s.n_children; ++i) {
        c.children.push_back(from_schema(*s.children[i], depth + 1));
    }
    if (c.kind == Kind::Map) {
        const Column& entries = c.children[0];
        if (entries.kind != Kind::Struct || entries.children.size() != 2 ||
            entries.children[0].kind != Kind::String) {
            throw std::invalid_argument("a map whose keys are not strings");
        }
    }
    return c;
}

// A reader of one JSON record into the columns. Any failure throws RowError; the caller then
// truncates the columns to the rows before the record.
class Reader {
public:
    explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    void record(Column& root) {
        skip_space();
        if (peek() != '{') fail("a record is a JSON object");
        object(root);
        skip_space();
        if (p_ != end_) fail("text after the record");
    }

private:
    [[noreturn]] void fail(std::string problem) { throw RowError{{}, std::move(problem)}; }

    char peek() const { return p_ < end_ ? *p_ : '\0'; }

    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    void expect(char c) {
        skip_space();
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++p_;
    }

    void literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word) {
            fail("not JSON");
        }
        p_ += word.size();
    }

    std::uint32_t hex4() {
        if (end_ - p_ < 4) fail("a cut \\u escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_digit(*p_++);
            if (digit < 0) fail("a bad \\u escape");
            v = v << 4 | static_cast<std::uint32_t>(digit);
        }
        return v;
    }

    // Moves p_ over characters a string holds as they are; checks them when any is not ASCII.
    std::string_view plain_run() {
        const char* start = p_;
        unsigned char seen = 0;
#if defined(__SSE2__)
        // Sixteen bytes at a time: texts are most of a record.
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i space = _mm_set1_epi8(0x20);
        while (end_ - p_ >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
            const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
            // A signed compare: below 0x20 are the control characters and the bytes from 0x80.
            const unsigned below =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, space)));
            const unsigned stop = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
                                      _mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)))) |
                                  (below & ~high);
            if (stop) {
                if (high & ((stop & (0u - stop)) - 1)) seen = 0x80;
                p_ += std::countr_zero(stop);
                return finish_run(start, seen);
            }
            if (high) seen = 0x80;
            p_ += 16;
        }
#endif
        while (p_ < end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"' || c == '\\' || c < 0x20) break;
            seen |= c;
            ++p_;
        }
        return finish_run(start, seen);
    }

    std::string_view finish_run(const char* start, unsigned char seen) {
        const std::string_view run(start, static_cast<std::size_t>(p_ - start));
        // Arrow's strings must be UTF-8, and nothing downstream checks.
        if ((seen & 0x80) && !utf8_valid(as_bytes(run))) fail("text that is not UTF-8");
        return run;
    }

    // Reads a JSON string, p_ at its opening quote: a view of the text itself when the string
    // has no escape (the common case), else of `scratch`, which then holds it.
    std::string_view string(std::string& scratch) {
        ++p_;
        std::string_view run = plain_run();
        if (p_ < end_ && *p_ == '"') {
            ++p_;
            return run;
        }
        scratch.assign(run);
        for (;;) {
            if (p_ == end_) fail("a cut string");
            const char c = *p_++;
            if (c == '"') return scratch;
            if (c != '\\') fail("a control character in a string");
            if (p_ == end_) fail("a cut string");
            switch (*p_++) {
                case '"':
                    scratch += '"';
                    break;
                case '\\':
                    scratch += '\\';
                    break;
                case '/':
                    scratch += '/';
                    break;
                case 'b':
                    scratch += '\b';
                    break;
                case 'f':
                    scratch += '\f';
                    break;
                case 'n':
                    scratch += '\n';
                    break;
                case 'r':
                    scratch += '\r';
                    break;
                case 't':
                    scratch += '\t';
                    break;
                case 'u': {
                    std::uint32_t cp = hex4();
                    if (cp >= 0xDC00 && cp <= 0xDFFF) fail("a lone surrogate");
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                            fail("a lone surrogate");
                        p_ += 2;
                        const std::uint32_t low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail("a lone surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    append_utf8(scratch, static_cast<char32_t>(cp));
                    break;
                }
                default:
                    fail("a bad escape");
            }
            scratch.append(plain_run());
        }
    }

    // A number's text, checked against JSON's grammar; `integral` when it has no fraction or
    // exponent.
    std::string_view number(bool& integral) {
        const char* start = p_;
        if (peek() == '-') ++p_;
        if (peek() == '0') {
            ++p_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9') ++p_;
        } else {
            fail("not JSON");
        }
        integral = true;
        if (peek() == '.') {
            integral = false;
            ++p_;
            if (!(peek() >= '0' && peek() <= '9')) fail("not JSON");
            while (peek() >= '0' && peek() <= '9') ++p_;
        }
        if (peek() == 'e' || peek() == 'E') {
            integral = false;
            ++p_;
            if (peek() == '+' || peek() == '-') ++p_;
            if (!(peek() >= '0' && peek() <= '9')) fail("not JSON");
            while (peek() >= '0' && peek() <= '9') ++p_;
        }
        return {start, static_cast<std::size_t>(p_ - start)};
    }

    template <typename T>
    T parse_as(std::string_view text, const char* what) {
        T v{};
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
        if (ec != std::errc() || end != text.data() + text.size()) fail(what);
        return v;
    }

    void scalar_number(Column& c) {
        bool integral;
        const std::string_view text = number(integral);
        switch (c.kind) {
            case Kind::UInt64:
                if (!integral || text[0] == '-') fail("expected an integer of 0 or more");
                c.put(parse_as<std::uint64_t>(text, "an integer out of range"));
                return;
            case Kind::Int64:
                if (!integral) fail("expected an integer");
                c.put(parse_as<std::int64_t>(text, "an integer out of range"));
                return;
            case Kind::Float64:
                if (integral) {
                    // As Arrow converts an integer to a double: only where it is exact.
                    const bool negative = text[0] == '-';
                    const std::uint64_t magnitude = parse_as<std::uint64_t>(
                        negative ? text.substr(1) : text, "an integer out of range");
                    if (magnitude > kExactInDouble) fail("an integer a double cannot hold");
                    const double v = static_cast<double>(magnitude);
                    c.put(negative ? -v : v);
                } else {
                    c.put(parse_as<double>(text, "a number out of range"));
                }
                return;
            default:
                fail("a number where another type is expected");
        }
    }

    void value(Column& c) {
        skip_space();
        switch (peek()) {
            case 'n':
                literal("null");
                c.null();
                return;
            case 't':
            case 'f': {
                if (c.kind != Kind::Bool) fail("a boolean where another type is expected");
                const bool v = peek() == 't';
                literal(v ? "true" : "false");
                c.set_valid();
                c.flags.push(v);
                return;
            }
            case '"':
                if (c.kind == Kind::String) {
                    c.put_text(string(scratch_));
                } else if (c.kind == Kind::Binary) {
                    hex_bytes(c, string(scratch_));
                } else {
                    fail("a string where another type is expected");
                }
                return;
            case '{':
                if (c.kind == Kind::Struct) {
                    object(c);
                } else if (c.kind == Kind::Map) {
                    map(c);
                } else {
                    fail("an object where another type is expected");
                }
                return;
            case '[':
                if (c.kind != Kind::List) fail("a list where another type is expected");
                list(c);
                return;
            default:
                scalar_number(c);
        }
    }

    // JSON lines carry binary values as hex.
    void hex_bytes(Column& c, std::string_view text) {
        if (text.size() % 2) fail("hex of odd length");
        c.set_valid();
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int high = hex_digit(text[i]);
            const int low = hex_digit(text[i + 1]);
            if (high < 0 || low < 0) fail("not hex");
            c.data.push_back(static_cast<std::uint8_t>(high << 4 | low));
        }
        c.close_offsets(c.data.size());
    }

    // Reads the members of an object or the items of a list, p_ at the opening bracket, up to
    // `close`, calling read() for each one.
    template <typename Read>
    void items(char close, Read&& read) {
        ++p_;
        skip_space();
        if (peek() == close) {
            ++p_;
            return;
        }
        for (;;) {
            read();
            skip_space();
            if (peek() != ',') break;
            ++p_;
        }
        expect(close);
    }

    // An object's key, and the colon after it.
    std::string_view key() {
        skip_space();
        if (peek() != '"') fail("expected a key");
        const std::string_view k = string(key_);
        expect(':');
        return k;
    }

    // Members in any order; the fields an object leaves out are null. A key the struct does
    // not declare fails with its dotted path.
    void object(Column& c) {
        std::uint64_t seen = 0;
        std::size_t guess = 0;  // records list the fields in a stable order: try the next first
        const std::size_t n = c.children.size();
        items('}', [&] {
            const std::string_view k = key();
            std::size_t i = guess;
            std::size_t tried = 0;
            while (tried < n && c.children[i].name != k) {
                i = i + 1 == n ? 0 : i + 1;
                ++tried;
            }
            if (tried == n) throw RowError{std::string(k), "", true};
            if (seen >> i & 1) throw RowError{std::string(k), "given twice"};
            seen |= std::uint64_t{1} << i;
            guess = i + 1 == n ? 0 : i + 1;
            Column& field = c.children[i];
            field.nulls_up_to(c.length);
            try {
                value(field);
            } catch (RowError& e) {
                e.key = e.key.empty() ? field.name : field.name + "." + e.key;
                throw;
            }
        });
        c.set_valid();
    }

    void map(Column& c) {
        Column& entries = c.children[0];
        items('}', [&] {
            entries.children[0].put_text(key());
            value(entries.children[1]);
            entries.set_valid();
        });
        c.set_valid();
        c.close_offsets(static_cast<std::size_t>(entries.length));
    }

    void list(Column& c) {
        Column& item = c.children[0];
        items(']', [&] { value(item); });
        c.set_valid();
        c.close_offsets(static_cast<std::size_t>(item.length));
    }

    const char* p_;
    const char* end_;
    std::string scratch_;
    std::string key_;
};

// What an exported array owns: its buffers and its children.
struct Exported {
    std::vector<std::uint8_t> valid;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> flags;
    std::vector<std::int32_t> offsets;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* owned = static_cast<Exported*>(array->private_data);
    for (ArrowArray& child : owned->children) {
        if (child.release) child.release(&child);
    }
    delete owned;
    array->release = nullptr;
}

// What an empty buffer points to: readers may take a null pointer for a missing buffer.
alignas(8) const std::uint8_t kNoBytes[8] = {};

const void* buffer(const void* data) { return data ? data : kNoBytes; }

// Moves the column's rows into `out` and leaves the column empty.
void export_column(Column& c, ArrowArray* out) {
    auto owned = std::make_unique<Exported>();
    owned->children.resize(c.children.size());
    for (std::size_t i = 0; i < c.children.size(); ++i) {
        export_column(c.children[i], &owned->children[i]);
        owned->child_pointers.push_back(&owned->children[i]);
    }
    owned->valid = std::move(c.valid.bytes);
    owned->data = std::move(c.data);
    owned->flags = std::move(c.flags.bytes);
    owned->offsets = std::move(c.offsets);
    const void* validity = c.nulls ? owned->valid.data() : nullptr;
    switch (c.kind) {
        case Kind::UInt64:
        case Kind::Int64:
        case Kind::Float64:
            owned->buffers = {validity, buffer(owned->data.data())};
            break;
        case Kind::Bool:
            owned->buffers = {validity, buffer(owned->flags.data())};
            break;
        case Kind::String:
        case Kind::Binary:
            owned->buffers = {validity, owned->offsets.data(), buffer(owned->data.data())};
            break;
        case Kind::List:
        case Kind::Map:
            owned->buffers = {validity, owned->offsets.data()};
            break;
        case Kind::Struct:
            owned->buffers = {validity};
            break;
    }
    *out = ArrowArray{};
    out->length = c.length;
    out->null_count = c.nulls;
    out->n_buffers = static_cast<std::int64_t>(owned->buffers.size());
    out->n_children = static_cast<std::int64_t>(owned->children.size());
    out->buffers = owned->buffers.data();
    out->children = owned->child_pointers.empty() ? nullptr : owned->child_pointers.data();
    out->release = release_array;
    out->private_data = owned.release();
    c.valid = Bits{};
    c.flags = Bits{};
    c.data.clear();
    c.offsets.assign(1, 0);
    c.length = 0;
    c.nulls = 0;
}

}  // namespace

std::string RowError::message() const {
    if (unknown_key) return "key '" + key + "' is not in vorandix.schema()";
    if (key.empty()) return problem;
    return "key '" + key + "': " + problem;
}

ArrowColumns::ArrowColumns(const ArrowSchema& schema) : root_(new Column(from_schema(schema, 0))) {
    if (root_->kind != Kind::Struct) {
        delete root_;
        throw std::invalid_argument("a table's schema is a struct of columns");
    }
}

ArrowColumns::ArrowColumns(ArrowColumns&& other) noexcept
    : root_(std::exchange(other.root_, nullptr)), text_bytes_(other.text_bytes_) {}

ArrowColumns::~ArrowColumns() { delete root_; }

std::int64_t ArrowColumns::rows() const { return root_->length; }

void ArrowColumns::append(std::string_view json) {
    const std::int64_t before = root_->length;
    try {
        Reader(json).record(*root_);
    } catch (...) {
        root_->truncate(before);
        throw;
    }
    text_bytes_ += json.size();
}

void ArrowColumns::take(ArrowArray* out) {
    root_->complete();
    export_column(*root_, out);
    text_bytes_ = 0;
}

}  // namespace vorandix::py
