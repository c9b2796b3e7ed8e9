// Byte-level helpers shared by every extractor: fixed-width integer loads, a bounds-checked
// field reader, text decoding and the small formatting rules (hex, three-decimal rounding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vorandix {

using ByteView = std::span<const std::uint8_t>;

// Loads from a pointer the caller has already bounds-checked.
inline std::uint16_t load_u16be(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint16_t load_u16le(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_u24be(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
inline std::uint32_t load_u24le(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
}
inline std::uint32_t load_u32be(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
inline std::uint32_t load_u32le(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t load_u64be(const std::uint8_t* p) {
    return (std::uint64_t{load_u32be(p)} << 32) | load_u32be(p + 4);
}
inline std::uint64_t load_u64le(const std::uint8_t* p) {
    return load_u32le(p) | (std::uint64_t{load_u32le(p + 4)} << 32);
}

// True when `data` holds `pattern` at `offset`; false (never an error) when it is too short.
inline bool has_at(ByteView data, std::size_t offset, std::string_view pattern) {
    if (offset > data.size() || pattern.size() > data.size() - offset) return false;
    return std::string_view(reinterpret_cast<const char*>(data.data()) + offset, pattern.size()) ==
           pattern;
}

// Reads fixed-width fields in order from a span whose length the caller checked once, as a
// header is read: `Fields f(header); f.skip(4); const auto method = f.u16le();`. A read that
// would run past the end yields 0 (or an empty view) and exhausts the span, so a missed check can
// never reach outside it; `ok()` says whether every read was in bounds.
class Fields {
public:
    explicit Fields(ByteView data) : data_(data) {}

    std::size_t left() const { return data_.size() - pos_; }
    std::size_t pos() const { return pos_; }
    bool ok() const { return ok_; }

    Fields& skip(std::size_t n) {
        take(n);
        return *this;
    }
    // The next n bytes, or an empty view when fewer are left.
    ByteView bytes(std::size_t n) {
        const std::uint8_t* p = take(n);
        return p ? ByteView(p, n) : ByteView();
    }
    std::uint8_t u8() { return get(1, [](const std::uint8_t* p) { return *p; }); }
    std::uint16_t u16le() { return get(2, load_u16le); }
    std::uint16_t u16be() { return get(2, load_u16be); }
    std::uint32_t u24le() { return get(3, load_u24le); }
    std::uint32_t u24be() { return get(3, load_u24be); }
    std::uint32_t u32le() { return get(4, load_u32le); }
    std::uint32_t u32be() { return get(4, load_u32be); }
    std::uint64_t u64le() { return get(8, load_u64le); }
    std::uint64_t u64be() { return get(8, load_u64be); }
    // In the byte order a format chose at run time (ELF's EI_DATA, TIFF's "II" or "MM").
    std::uint16_t u16(bool little) { return little ? u16le() : u16be(); }
    std::uint32_t u32(bool little) { return little ? u32le() : u32be(); }

private:
    const std::uint8_t* take(std::size_t n) {
        if (n > left()) {
            pos_ = data_.size();
            ok_ = false;
            return nullptr;
        }
        const std::uint8_t* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }
    template <class F>
    auto get(std::size_t n, F load) -> decltype(load(nullptr)) {
        const std::uint8_t* p = take(n);
        return p ? load(p) : 0;
    }

    ByteView data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Appends the UTF-8 encoding of a Unicode scalar value (surrogates must not be passed).
void append_utf8(std::string& out, char32_t cp);

// Decodes UTF-8, replacing each maximal invalid subsequence with U+FFFD (the Unicode
// "substitution of maximal subparts" rule, the one Python's errors="replace" follows).
std::string utf8_lossy(ByteView bytes);
inline std::string utf8_lossy(std::string_view s) {
    return utf8_lossy(ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
}

// The longest prefix of the UTF-8 text `s` of at most `max` bytes that ends on a character
// boundary.
inline std::size_t utf8_prefix(std::string_view s, std::size_t max) {
    if (max >= s.size()) return s.size();
    while (max > 0 && (static_cast<std::uint8_t>(s[max]) & 0xC0) == 0x80) --max;
    return max;
}

// True when `bytes` is entirely well-formed UTF-8.
bool utf8_valid(ByteView bytes);

// Each byte becomes the code point of the same value (ISO-8859-1).
std::string latin1_to_utf8(ByteView bytes);

// What a UTF-16 decoder does with a last byte that does not complete a 16-bit unit.
enum class OddByte { Drop, Replace };

// Decodes UTF-16 in the given byte order: surrogate pairs are joined, each unpaired half
// becomes U+FFFD, and an odd last byte is dropped or becomes U+FFFD as `odd` says. A byte-order
// mark is not looked for: it decodes as U+FEFF like any other unit.
std::string utf16_to_utf8(ByteView bytes, bool big_endian, OddByte odd);

// Decodes PDFDocEncoding, the single-byte encoding of PDF text strings without a byte-order
// mark: ISO-8859-1 except for a few dozen bytes (typographic marks and accents), and U+FFFD for
// the three bytes it leaves undefined.
std::string pdfdoc_to_utf8(ByteView bytes);

// round(x * 1000) / 1000 with halves away from zero, the rule for every derived decimal.
double round3(double x);

// Lower-case hexadecimal, two digits per byte, no separators.
std::string hex_lower(ByteView bytes);

// `value` as lower-case hexadecimal zero-padded to `digits` digits.
std::string hex_lower(std::uint64_t value, int digits);

// The value of a hexadecimal digit of either case, or -1 for any other character.
inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline ByteView as_bytes(std::string_view s) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace vorandix
