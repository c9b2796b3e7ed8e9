// PNG: the chunk sequence from the signature to IEND, with the image header, uncompressed
// text, modification time, gamma and pixel density lifted out. Only chunk headers and the data
// of those few chunk types are read; image data is stepped over by its length.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "extractors/toolkit.hpp"
#include "vorandix/limits.hpp"

namespace vorandix::extractors::png {

namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);

constexpr Label<std::uint8_t> kColorTypes[] = {
    {0, "grayscale"}, {2, "RGB"}, {3, "palette"}, {4, "grayscale+alpha"}, {6, "RGBA"},
};

// PNG defines tEXt as ISO-8859-1, but many writers put UTF-8 there. Text that is valid UTF-8
// is taken as such; anything else is read as ISO-8859-1, which loses no byte.
std::string text_field(ByteView bytes) {
    return utf8_valid(bytes)
               ? std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())
               : latin1_to_utf8(bytes);
}

std::string time_text(ByteView p) {
    Fields f(p);
    const unsigned year = f.u16be();
    unsigned part[5];
    for (unsigned& v : part) v = f.u8();
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", year, part[0], part[1],
                  part[2], part[3], part[4]);
    return text;
}

// How many data bytes each understood chunk type needs looked at; 0 for types only listed.
// tEXt needs all of them.
std::uint64_t bytes_wanted(std::string_view type, std::uint64_t data_len) {
    if (type == "IHDR") return 13;
    if (type == "tIME") return 7;
    if (type == "gAMA") return 4;
    if (type == "pHYs") return 9;
    if (type == "tEXt") return data_len;
    return 0;
}

// `p` holds the first bytes of the chunk's data, as many as `bytes_wanted` asked for or fewer
// when the chunk is shorter.
void read_chunk(Input& in, std::string_view type, ByteView p, bool whole, Section& section,
                MetaObject& text) {
    if (p.empty()) return;  // the input failed
    Fields f(p);
    if (type == "IHDR") {
        if (p.size() < 13) return;
        section.insert_u64("width", f.u32be());
        section.insert_u64("height", f.u32be());
        section.insert_u64("bit_depth", f.u8());
        section.insert_string("color_type", label_of(kColorTypes, f.u8(), "unknown"));
        section.insert_bool("interlaced", f.skip(2).u8() == 1);
    } else if (type == "tEXt") {
        const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p.data(), 0, p.size()));
        if (!zero) {
            if (!whole) in.cut("text", limits::kSectionText);
            return;
        }
        const auto keyword_len = static_cast<std::size_t>(zero - p.data());
        // A repeated keyword keeps the later text.
        std::string keyword = in.keep_text("text", text_field(p.first(keyword_len)));
        std::string value = in.keep_text("text", text_field(p.subspan(keyword_len + 1)), whole);
        text.insert_string(std::move(keyword), std::move(value));
    } else if (type == "tIME") {
        if (p.size() >= 7) section.insert_string("last_modified", time_text(p));
    } else if (type == "gAMA") {
        if (p.size() >= 4) section.insert("gamma", MetaValue::floating(f.u32be() / 100000.0));
    } else if (type == "pHYs") {
        // Only a density per metre converts to dots per inch; unit 0 is an aspect ratio.
        if (p.size() >= 9 && p[8] == 1) {
            section.insert("dpi", MetaValue::floating(std::round(f.u32be() * 0.0254)));
        }
    }
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, kSignature); }

ExtractResult extract(Input& in, Section section) {
    static_assert(sizeof(std::size_t) >= 8, "a chunk's 32-bit data length must fit a size_t");
    const std::uint64_t n = in.size();
    MetaList chunks;
    MetaObject text;
    // Each chunk: 4-byte length, 4-byte type, data, 4-byte CRC (never checked).
    std::uint64_t e = kSignature.size();
    while (n >= 8 && e <= n - 8) {
        std::array<std::uint8_t, 8> header;
        Fields h(in.fill(e, header));
        const std::uint32_t length = h.u32be();
        const ByteView type_bytes = h.bytes(4);
        if (!h.ok()) break;  // the input ended early
        const std::string_view type(reinterpret_cast<const char*>(type_bytes.data()), 4);

        if (!in.admit("chunks", chunks.size())) break;
        MetaObject chunk;
        chunk.reserve(3);
        chunk.insert_string("type", latin1_to_utf8(type_bytes));
        chunk.insert_u64("offset", e);
        chunk.insert_u64("length", length);
        chunks.push_back(MetaValue::object(std::move(chunk)));

        // A chunk cut short by the end of the input has no data to look at.
        const std::uint64_t data_len = length <= n - e - 8 ? length : 0;
        std::uint64_t wanted = std::min(bytes_wanted(type, length), data_len);
        if (type == "IEND") break;
        const bool whole = wanted <= in.text_room();
        if (!whole) wanted = in.text_room();
        if (wanted > 0) {
            read_chunk(in, type, in.at(e + 8, static_cast<std::size_t>(wanted)), whole, section,
                       text);
        }
        e += 12 + std::uint64_t{length};
    }
    if (!text.empty()) section.insert_object("text", std::move(text));
    section.insert_list("chunks", std::move(chunks));
    return section;
}

}  // namespace vorandix::extractors::png
