// PDF documents, described by plain byte-pattern scans over the file (ISO 32000-1 7.3.4.2 for
// literal strings) without reading the object structure: nothing is decompressed, and the
// cross-reference table, object streams and indirect references are not followed.
#include <array>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// The first `needle` at or after `from`, or kNotFound. memmem skips ahead far faster than a
// byte-by-byte comparison, which matters on documents of hundreds of megabytes.
std::size_t find(ByteView data, std::size_t from, std::string_view needle) {
    if (from > data.size() || needle.size() > data.size() - from) return kNotFound;
    const void* hit = memmem(data.data() + from, data.size() - from, needle.data(), needle.size());
    if (!hit) return kNotFound;
    return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data.data());
}

// Non-overlapping occurrences of `needle`; with `unless_s`, one followed by "s" is not counted
// (so "/Type/Pages" page-tree nodes are told apart from "/Type/Page" leaves).
std::uint64_t count(ByteView data, std::string_view needle, bool unless_s = false) {
    std::uint64_t n = 0;
    for (std::size_t at = find(data, 0, needle); at != kNotFound;
         at = find(data, at + needle.size(), needle)) {
        const std::size_t after = at + needle.size();
        if (unless_s && after < data.size() && data[after] == 's') continue;
        ++n;
    }
    return n;
}

bool pdf_whitespace(std::uint8_t b) {
    return b == 0x09 || b == 0x0A || b == 0x0C || b == 0x0D || b == 0x20;
}

// The bytes of a literal string whose "(" stands just before `pos`. Balanced parentheses are
// kept, a backslash takes the next byte as it is, and a string never closed runs to the end.
std::string literal_string(ByteView data, std::size_t pos) {
    std::string out;
    std::size_t depth = 1;
    while (pos < data.size()) {
        // Copy the run of ordinary bytes in one go.
        std::size_t run = pos;
        while (run < data.size() && data[run] != '(' && data[run] != ')' && data[run] != '\\') {
            ++run;
        }
        out.append(reinterpret_cast<const char*>(data.data()) + pos, run - pos);
        if (run == data.size()) break;
        const std::uint8_t b = data[run];
        pos = run + 1;
        if (b == '\\') {
            if (pos == data.size()) break;
            out.push_back(static_cast<char>(data[pos++]));
        } else if (b == '(') {
            ++depth;
            out.push_back('(');
        } else if (--depth == 0) {
            break;
        } else {
            out.push_back(')');
        }
    }
    return out;
}

struct InfoKey {
    std::string_view pdf_name;
    const char* key;
};

constexpr std::array<InfoKey, 8> kInfoKeys = {{
    {"/Title", "title"},
    {"/Author", "author"},
    {"/Subject", "subject"},
    {"/Creator", "creator"},
    {"/Producer", "producer"},
    {"/Keywords", "keywords"},
    {"/CreationDate", "creation_date"},
    {"/ModDate", "modification_date"},
}};

// Only the first occurrence of each name is looked at: if a hex string or a reference follows
// it, the key is absent even when a later occurrence holds a literal string.
MetaObject information(ByteView data) {
    MetaObject info;
    for (const InfoKey& row : kInfoKeys) {
        std::size_t pos = find(data, 0, row.pdf_name);
        if (pos == kNotFound) continue;
        pos += row.pdf_name.size();
        while (pos < data.size() && pdf_whitespace(data[pos])) ++pos;
        if (pos == data.size() || data[pos] != '(') continue;
        const std::string text = literal_string(data, pos + 1);
        info.insert_string(row.key, utf8_lossy(text));
    }
    return info;
}

class PdfExtractor final : public Extractor {
public:
    const char* name() const override { return "pdf"; }

    bool applies(const ExtractContext& ctx) const override { return has_at(ctx.head, 0, "%PDF-"); }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        // Every byte is scanned, so the whole input is needed: the caller's buffer in place, or
        // the file read into memory.
        RandomAccess input(source);
        auto whole = input.whole();
        if (!whole) return ExtractError::io(whole.error());
        const ByteView data = *whole;

        Section section(name());
        // The version runs from after "%PDF-" to the first line end within the first 16 bytes.
        // A header changed since the run loop read it may lack "%PDF-", hence the check on 5.
        const ByteView top = data.first(std::min<std::size_t>(data.size(), 16));
        for (std::size_t q = 0; q < top.size(); ++q) {
            if (top[q] != '\r' && top[q] != '\n') continue;
            if (q >= 5) section.insert_string("version", utf8_lossy(top.subspan(5, q - 5)));
            break;
        }
        section.insert_u64("object_count", count(data, " obj"));
        section.insert_u64("page_count",
                           count(data, "/Type/Page", true) + count(data, "/Type /Page", true));
        section.insert_bool("linearized", find(data, 0, "/Linearized") != kNotFound);
        section.insert_bool("encrypted", find(data, 0, "/Encrypt") != kNotFound);
        MetaObject info = information(data);
        if (!info.empty()) section.insert_object("info", std::move(info));
        return section;
    }
};

}  // namespace

const Extractor& pdf_extractor() {
    static const PdfExtractor reader;
    return reader;
}

}  // namespace vorandix
