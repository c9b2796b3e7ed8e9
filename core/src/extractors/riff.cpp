// RIFF containers: the form type, and for WAVE the `fmt ` chunk, for WebP the first chunk.
//
// A WAVE file is mostly one huge `data` chunk, so the chunk walk reads chunk headers only and
// seeks over their bodies; from memory every read is a view of the caller's buffer.
#include <array>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

// Everything the WebP layouts look at lies in the first 30 bytes.
constexpr std::size_t kWebpHead = 30;

void read_webp(ByteView head, Section& section) {
    section.insert_str("media_kind", "image (WebP)");
    if (head.size() < 16 || !has_at(head, 12, "VP8")) return;
    const std::uint8_t* p = head.data();
    switch (head[15]) {
        case 'X':
            section.insert_str("webp_format", "extended");
            if (head.size() < 30) return;
            section.insert_bool("has_alpha", (p[20] & 0x10) != 0);
            section.insert_bool("has_animation", (p[20] & 0x02) != 0);
            section.insert_bool("has_exif", (p[20] & 0x08) != 0);
            // The canvas size is stored minus one.
            section.insert_u64("width", std::uint64_t{load_u24le(p + 24)} + 1);
            section.insert_u64("height", std::uint64_t{load_u24le(p + 27)} + 1);
            return;
        case 'L': {
            section.insert_str("webp_format", "lossless");
            if (head.size() < 25) return;
            // After the 0x2F signature byte: 14 bits of width - 1, then 14 of height - 1.
            const std::uint32_t v = load_u32le(p + 21);
            section.insert_u64("width", (v & 0x3FFF) + 1);
            section.insert_u64("height", ((v >> 14) & 0x3FFF) + 1);
            return;
        }
        case ' ':
            section.insert_str("webp_format", "lossy");
            // A VP8 key frame: 3-byte frame tag, start code 9D 01 2A, then 14-bit sizes whose
            // top two bits are a scale hint, not part of the size.
            if (head.size() < 30 || p[23] != 0x9D || p[24] != 0x01 || p[25] != 0x2A) return;
            section.insert_u64("width", load_u16le(p + 26) & 0x3FFF);
            section.insert_u64("height", load_u16le(p + 28) & 0x3FFF);
            return;
        default:
            return;
    }
}

// Walks the chunks after the form type until the first `fmt ` chunk with its 16 bytes of
// basic format present. Odd-sized chunks are followed by one pad byte.
std::optional<ExtractError> read_wave(RandomAccess& input, std::uint64_t len, Section& section) {
    section.insert_str("media_kind", "audio (WAV)");
    std::uint64_t i = 12;
    // i only grows and never passes len + 2^32 + 9, so none of this can wrap.
    while (i <= len && len - i >= 8) {
        auto got = input.at(i, 24);
        if (!got) return ExtractError::io(got.error());
        const ByteView chunk = *got;
        if (chunk.size() < 8) break;  // the input shrank under us
        if (chunk.size() == 24 && has_at(chunk, 0, "fmt ")) {
            const std::uint8_t* p = chunk.data();
            section.insert_u64("audio_format_tag", load_u16le(p + 8));
            section.insert_u64("channels", load_u16le(p + 10));
            section.insert_u64("sample_rate", load_u32le(p + 12));
            section.insert_u64("bits_per_sample", load_u16le(p + 22));
            break;
        }
        const std::uint32_t size = load_u32le(chunk.data() + 4);
        i += 8 + std::uint64_t{size} + (size & 1);
    }
    return std::nullopt;
}

class RiffExtractor final : public Extractor {
public:
    const char* name() const override { return "riff"; }

    bool applies(const ExtractContext& ctx) const override { return has_at(ctx.head, 0, "RIFF"); }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto len = input.size();
        if (!len) return ExtractError::io(len.error());
        auto got = input.at(0, kWebpHead);
        if (!got) return ExtractError::io(got.error());
        if (got->size() < 12) return ExtractError::malformed(name(), "header too short");
        std::array<std::uint8_t, kWebpHead> buf;
        std::memcpy(buf.data(), got->data(), got->size());
        const ByteView head(buf.data(), got->size());

        Section section(name());
        const std::string form = utf8_lossy(head.subspan(8, 4));
        section.insert_str("form_type", form);
        if (form == "WEBP") {
            read_webp(head, section);
        } else if (form == "WAVE") {
            if (auto err = read_wave(input, *len, section)) return std::move(*err);
        } else if (form == "AVI ") {
            section.insert_str("media_kind", "video (AVI)");
        }
        return section;
    }
};

}  // namespace

const Extractor& riff_extractor() {
    static const RiffExtractor reader;
    return reader;
}

}  // namespace vorandix
