// PNG: the chunk sequence from the signature to IEND, with the image header, uncompressed
// text, modification time, gamma and pixel density lifted out. Only chunk headers and the data
// of those few chunk types are read; image data is stepped over by its length.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);

const char* color_type_label(std::uint8_t type) {
    switch (type) {
        case 0:
            return "grayscale";
        case 2:
            return "RGB";
        case 3:
            return "palette";
        case 4:
            return "grayscale+alpha";
        case 6:
            return "RGBA";
        default:
            return "unknown";
    }
}

// tEXt is ISO-8859-1 by the PNG specification, but many writers put UTF-8 there. Text that is
// valid UTF-8 is taken as such; anything else is read as ISO-8859-1, which loses no byte.
std::string text_field(ByteView bytes) {
    return utf8_valid(bytes)
               ? std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size())
               : latin1_to_utf8(bytes);
}

std::string time_text(ByteView p) {
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ",
                  unsigned{load_u16be(p.data())}, unsigned{p[2]}, unsigned{p[3]}, unsigned{p[4]},
                  unsigned{p[5]}, unsigned{p[6]});
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

class PngExtractor final : public Extractor {
public:
    const char* name() const override { return "png"; }

    bool applies(const ExtractContext& ctx) const override {
        return has_at(ctx.head, 0, kSignature);
    }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        static_assert(sizeof(std::size_t) >= 8, "a chunk's 32-bit data length must fit a size_t");
        RandomAccess input(source);
        auto size = input.size();
        if (!size) return ExtractError::io(size.error());
        const std::uint64_t n = *size;

        Section section(name());
        MetaList chunks;
        MetaObject text;
        // Each chunk: 4-byte length, 4-byte type, data, 4-byte CRC (never checked).
        std::uint64_t e = kSignature.size();
        while (n >= 8 && e <= n - 8) {
            auto header = input.at(e, 8);
            if (!header) return ExtractError::io(header.error());
            const std::uint32_t length = load_u32be(header->data());
            char type_bytes[4];
            std::memcpy(type_bytes, header->data() + 4, 4);
            const std::string_view type(type_bytes, 4);

            MetaObject chunk;
            chunk.insert_string("type", latin1_to_utf8(as_bytes(type)));
            chunk.insert_u64("offset", e);
            chunk.insert_u64("length", length);
            chunks.push_back(MetaValue::object(std::move(chunk)));

            // A chunk cut short by the end of the input has no data to look at.
            const std::uint64_t data_len = length <= n - e - 8 ? length : 0;
            const std::uint64_t wanted = std::min(bytes_wanted(type, length), data_len);
            if (type == "IEND") break;
            if (wanted > 0) {
                auto data = input.at(e + 8, static_cast<std::size_t>(wanted));
                if (!data) return ExtractError::io(data.error());
                read_chunk(type, *data, section, text);
            }
            e += 12 + std::uint64_t{length};
        }
        if (!text.empty()) section.insert_object("text", std::move(text));
        section.insert_list("chunks", std::move(chunks));
        return section;
    }

private:
    // `p` holds the first bytes of the chunk's data, as many as `bytes_wanted` asked for or
    // fewer when the chunk is shorter.
    static void read_chunk(std::string_view type, ByteView p, Section& section, MetaObject& text) {
        if (type == "IHDR") {
            if (p.size() < 13) return;
            section.insert_u64("width", load_u32be(p.data()));
            section.insert_u64("height", load_u32be(p.data() + 4));
            section.insert_u64("bit_depth", p[8]);
            section.insert_str("color_type", color_type_label(p[9]));
            section.insert_bool("interlaced", p[12] == 1);
        } else if (type == "tEXt") {
            const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p.data(), 0, p.size()));
            if (!zero) return;
            const auto keyword_len = static_cast<std::size_t>(zero - p.data());
            // A repeated keyword keeps the later text.
            text.insert_string(text_field(p.first(keyword_len)),
                               text_field(p.subspan(keyword_len + 1)));
        } else if (type == "tIME") {
            if (p.size() >= 7) section.insert_string("last_modified", time_text(p));
        } else if (type == "gAMA") {
            if (p.size() >= 4) {
                section.insert("gamma", MetaValue::floating(load_u32be(p.data()) / 100000.0));
            }
        } else if (type == "pHYs") {
            // Only a density per metre converts to dots per inch; unit 0 is an aspect ratio.
            if (p.size() >= 9 && p[8] == 1) {
                section.insert("dpi",
                               MetaValue::floating(std::round(load_u32be(p.data()) * 0.0254)));
            }
        }
    }
};

}  // namespace

const Extractor& png_extractor() {
    static const PngExtractor reader;
    return reader;
}

}  // namespace vorandix
