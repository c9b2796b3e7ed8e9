// PDF documents, described by plain byte-pattern scans over the file (ISO 32000-1 7.3.4.2 for
// literal strings) without reading the object structure: nothing is decompressed, and the
// cross-reference table, object streams and indirect references are not followed.
#include <algorithm>
#include <array>
#include <cstring>

#include "extractors/toolkit.hpp"

namespace vorandix::extractors::pdf {

namespace {

constexpr std::uint64_t kNotFound = static_cast<std::uint64_t>(-1);

// The names searched for. Every one begins with "/", so one pass that stops at each "/"
// (found with memchr, which skips the bytes between far faster than any comparison loop)
// sees every occurrence of all of them. None can overlap itself, so counting every
// occurrence is the same as counting non-overlapping ones.
enum class Role { Page, Linearized, Encrypt, Info };

struct Name {
    std::string_view text;
    Role role;
    const char* info_key;  // for Role::Info: the key in "info"
};

constexpr std::array<Name, 12> kNames = {{
    {"/Type/Page", Role::Page, nullptr},
    {"/Type /Page", Role::Page, nullptr},
    {"/Linearized", Role::Linearized, nullptr},
    {"/Encrypt", Role::Encrypt, nullptr},
    // The information keys, in the order they are looked up.
    {"/Title", Role::Info, "title"},
    {"/Author", Role::Info, "author"},
    {"/Subject", Role::Info, "subject"},
    {"/Creator", Role::Info, "creator"},
    {"/Producer", Role::Info, "producer"},
    {"/Keywords", Role::Info, "keywords"},
    {"/CreationDate", Role::Info, "creation_date"},
    {"/ModDate", Role::Info, "modification_date"},
}};

// Bytes that follow "/" in some name: most names in a document ("/Filter", "/Length" aside)
// are passed over after one table look-up.
constexpr std::array<bool, 256> second_bytes() {
    std::array<bool, 256> table{};
    for (const Name& name : kNames) table[static_cast<std::uint8_t>(name.text[1])] = true;
    return table;
}
constexpr std::array<bool, 256> kSecondBytes = second_bytes();

struct Findings {
    std::uint64_t objects = 0;
    std::uint64_t pages = 0;
    bool linearized = false;
    bool encrypted = false;
    std::array<std::uint64_t, kNames.size()> first_at;  // first occurrence of each name
};

// The input is scanned in blocks of this size, each read with a few bytes of the next so that
// a name starting in the block is seen whole, with the byte after it. From a file this holds
// one block in memory whatever the document's size; from memory the blocks are views.
constexpr std::size_t kBlock = std::size_t{1} << 20;
constexpr std::size_t kLookahead = 16;  // the longest name, "/CreationDate", and one byte

bool starts_with(const std::uint8_t* p, std::size_t left, std::string_view text) {
    return text.size() <= left && std::memcmp(p, text.data(), text.size()) == 0;
}

// Adds what starts in the first `limit` bytes of `view`, which holds the input from `base`.
void scan_block(ByteView view, std::uint64_t base, std::size_t limit, Findings& found) {
    const std::uint8_t* const begin = view.data();
    const std::uint8_t* const end = begin + view.size();

    // " obj" is found from its "j", which is rare in PDF syntax and text, so memchr runs far
    // between stops. Its start must lie in the block: the "j" in [3, limit + 3).
    const std::uint8_t* const j_end = begin + std::min(view.size(), limit + 3);
    for (const std::uint8_t* p = begin + std::min<std::size_t>(3, view.size()); p < j_end; ++p) {
        p = static_cast<const std::uint8_t*>(
            std::memchr(p, 'j', static_cast<std::size_t>(j_end - p)));
        if (!p) break;
        if (p[-3] == ' ' && p[-2] == 'o' && p[-1] == 'b') ++found.objects;
    }

    const std::uint8_t* const slash_end = begin + limit;
    for (const std::uint8_t* p = begin; p < slash_end; ++p) {
        p = static_cast<const std::uint8_t*>(
            std::memchr(p, '/', static_cast<std::size_t>(slash_end - p)));
        if (!p) break;
        const auto left = static_cast<std::size_t>(end - p);
        if (left < 2 || !kSecondBytes[p[1]]) continue;
        for (std::size_t i = 0; i < kNames.size(); ++i) {
            const Name& name = kNames[i];
            if (!starts_with(p, left, name.text)) continue;
            if (found.first_at[i] == kNotFound) found.first_at[i] = base + (p - begin);
            switch (name.role) {
                case Role::Page:
                    // "/Type/Pages" marks a node of the page tree, not a page.
                    if (left == name.text.size() || p[name.text.size()] != 's') ++found.pages;
                    break;
                case Role::Linearized:
                    found.linearized = true;
                    break;
                case Role::Encrypt:
                    found.encrypted = true;
                    break;
                case Role::Info:
                    break;
            }
        }
    }
}

Findings scan(Input& in) {
    Findings found;
    found.first_at.fill(kNotFound);
    const std::uint64_t size = in.size();
    for (std::uint64_t base = 0; base < size; base += kBlock) {
        const ByteView view = in.at(base, kBlock + kLookahead);
        if (view.empty()) break;  // the input ended early
        scan_block(view, base, std::min(kBlock, view.size()), found);
    }
    return found;
}

bool pdf_whitespace(std::uint8_t b) {
    return b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D || b == 0x20;
}

// Collects the bytes of a literal string fed to it piece by piece after its "(", undoing its
// escapes: \n \r \t \b \f, \( \) \\, one to three octal digits (high-order overflow
// ignored), and a backslash before a line end drops both. Any other escaped byte stands for
// itself. Balanced parentheses are kept; a string never closed runs to the end of the input, and
// a backslash as its last byte is dropped. An escape may be split between two pieces.
class LiteralString {
public:
    // Returns true once the closing parenthesis has been seen.
    bool feed(ByteView bytes) {
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::uint8_t b = bytes[pos];
            if (state_ == State::Escape) {
                ++pos;
                escape(b);
                continue;
            }
            if (state_ == State::Octal) {
                if (b < '0' || b > '7') {
                    end_octal();  // b is looked at again as an ordinary byte
                    continue;
                }
                ++pos;
                octal_ = octal_ * 8 + (b - '0');
                if (++digits_ == 3) end_octal();
                continue;
            }
            if (state_ == State::AfterCr) {
                // CR LF is one line end: both go with the backslash.
                state_ = State::Normal;
                if (b == '\n') ++pos;
                continue;
            }
            // Copy the run of ordinary bytes in one go.
            std::size_t run = pos;
            while (run < bytes.size() && bytes[run] != '(' && bytes[run] != ')' &&
                   bytes[run] != '\\') {
                ++run;
            }
            out_.append(reinterpret_cast<const char*>(bytes.data()) + pos, run - pos);
            if (run == bytes.size()) break;
            const std::uint8_t c = bytes[run];
            pos = run + 1;
            if (c == '\\') {
                state_ = State::Escape;
            } else if (c == '(') {
                ++depth_;
                out_.push_back('(');
            } else if (--depth_ == 0) {
                return true;
            } else {
                out_.push_back(')');
            }
        }
        return false;
    }

    std::size_t size() const { return out_.size(); }

    // The unescaped bytes, once the string has ended or the input has.
    const std::string& bytes() {
        if (state_ == State::Octal) end_octal();
        return out_;
    }

private:
    enum class State { Normal, Escape, Octal, AfterCr };

    void escape(std::uint8_t b) {
        state_ = State::Normal;
        switch (b) {
            case 'n':
                out_.push_back('\n');
                break;
            case 'r':
                out_.push_back('\r');
                break;
            case 't':
                out_.push_back('\t');
                break;
            case 'b':
                out_.push_back('\b');
                break;
            case 'f':
                out_.push_back('\f');
                break;
            case '\n':
                break;
            case '\r':
                state_ = State::AfterCr;
                break;
            default:
                if (b >= '0' && b <= '7') {
                    state_ = State::Octal;
                    octal_ = b - '0';
                    digits_ = 1;
                } else {
                    out_.push_back(static_cast<char>(b));
                }
        }
    }
    void end_octal() {
        out_.push_back(static_cast<char>(octal_ & 0xFF));
        state_ = State::Normal;
    }

    std::string out_;
    std::uint64_t depth_ = 1;
    State state_ = State::Normal;
    unsigned octal_ = 0;
    int digits_ = 0;
};

// A text string's bytes as text (ISO 32000-2 7.9.2.2): UTF-16BE after the mark FE FF, UTF-8
// after EF BB BF. Unmarked bytes that are valid UTF-8 are taken as UTF-8, since producers write
// it there; any others are PDFDocEncoding.
std::string text_string(const std::string& bytes) {
    const ByteView b = as_bytes(bytes);
    if (has_at(b, 0, "\xFE\xFF")) return utf16_to_utf8(b.subspan(2), true, OddByte::Replace);
    if (has_at(b, 0, "\xEF\xBB\xBF")) return utf8_lossy(b.subspan(3));
    if (utf8_valid(b)) return bytes;
    return pdfdoc_to_utf8(b);
}

// The literal string after the name that ends at `pos`, if whitespace and then "(" follow,
// kept in `info` under `key`. No more of it is read than the section's text may take.
void info_value(Input& in, std::uint64_t pos, const char* key, MetaObject& info) {
    for (;;) {
        const ByteView piece = in.at(pos, kBlock);
        std::size_t i = 0;
        while (i < piece.size() && pdf_whitespace(piece[i])) ++i;
        if (i < piece.size()) {
            if (piece[i] != '(') return;
            pos += i + 1;
            break;
        }
        if (piece.empty()) return;
        pos += piece.size();
    }
    LiteralString text;
    bool whole = true;
    for (;;) {
        const ByteView piece = in.at(pos, kBlock);
        if (piece.empty() || text.feed(piece)) break;
        pos += piece.size();
        if (text.size() > in.text_room()) {
            whole = false;
            break;
        }
    }
    info.insert_string(key, in.keep_text(std::string("info.") + key, text_string(text.bytes()),
                                         whole));
}

// Only the first occurrence of each name is looked at: if a hex string or a reference follows
// it, the key is absent even when a later occurrence holds a literal string.
MetaObject information(Input& in, const Findings& found) {
    MetaObject info;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i].role != Role::Info || found.first_at[i] == kNotFound) continue;
        info_value(in, found.first_at[i] + kNames[i].text.size(), kNames[i].info_key, info);
    }
    return info;
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "%PDF-"); }

// Every byte is scanned, block by block, so a document given by path is never held in memory
// whole.
ExtractResult extract(Input& in, Section section) {
    // The version runs from after "%PDF-" to the first line end within the first 16 bytes. A
    // header changed since the run loop read it may lack "%PDF-", hence the check on 5.
    std::array<std::uint8_t, 16> top_bytes;
    const ByteView top = in.fill(0, top_bytes);
    for (std::size_t q = 0; q < top.size(); ++q) {
        if (top[q] != '\r' && top[q] != '\n') continue;
        if (q >= 5) section.insert_string("version", utf8_lossy(top.subspan(5, q - 5)));
        break;
    }
    const Findings found = scan(in);
    section.insert_u64("object_count", found.objects);
    section.insert_u64("page_count", found.pages);
    section.insert_bool("linearized", found.linearized);
    section.insert_bool("encrypted", found.encrypted);
    MetaObject info = information(in, found);
    if (!info.empty()) section.insert_object("info", std::move(info));
    return section;
}

}  // namespace vorandix::extractors::pdf
