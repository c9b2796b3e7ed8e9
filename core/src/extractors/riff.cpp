// RIFF containers: the form type, and for WAVE the `fmt ` chunk, for WebP the first chunk.
//
// A WAVE file is mostly one huge `data` chunk, so the chunk walk reads chunk headers only and
// seeks over their bodies; from memory every read is a view of the caller's buffer.
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::riff {

namespace {

// Everything the WebP layouts look at lies in the first 30 bytes.
constexpr std::size_t kWebpHead = 30;
// A chunk header and the 16 bytes of a basic `fmt ` chunk.
constexpr std::size_t kFmtChunk = 24;

void read_webp(ByteView head, Section& section) {
    section.insert_string("media_kind", "image (WebP)");
    if (head.size() < 16 || !has_at(head, 12, "VP8")) return;
    Fields f(head);
    switch (head[15]) {
        case 'X': {
            section.insert_string("webp_format", "extended");
            if (head.size() < 30) return;
            const std::uint8_t flags = f.skip(20).u8();
            section.insert_bool("has_alpha", (flags & 0x10) != 0);
            section.insert_bool("has_animation", (flags & 0x02) != 0);
            section.insert_bool("has_exif", (flags & 0x08) != 0);
            // The canvas size is stored minus one.
            section.insert_u64("width", std::uint64_t{f.skip(3).u24le()} + 1);
            section.insert_u64("height", std::uint64_t{f.u24le()} + 1);
            return;
        }
        case 'L': {
            section.insert_string("webp_format", "lossless");
            if (head.size() < 25) return;
            // After the 0x2F signature byte: 14 bits of width - 1, then 14 of height - 1.
            const std::uint32_t v = f.skip(21).u32le();
            section.insert_u64("width", (v & 0x3FFF) + 1);
            section.insert_u64("height", ((v >> 14) & 0x3FFF) + 1);
            return;
        }
        case ' ':
            section.insert_string("webp_format", "lossy");
            // A VP8 key frame: 3-byte frame tag, start code 9D 01 2A, then 14-bit sizes whose
            // top two bits are a scale hint, not part of the size.
            if (head.size() < 30 || !has_at(head, 23, "\x9D\x01\x2A")) return;
            section.insert_u64("width", f.skip(26).u16le() & 0x3FFF);
            section.insert_u64("height", f.u16le() & 0x3FFF);
            return;
        default:
            return;
    }
}

// Walks the chunks after the form type until the first `fmt ` chunk with its 16 bytes of
// basic format present. Odd-sized chunks are followed by one pad byte.
void read_wave(Input& in, Section& section) {
    section.insert_string("media_kind", "audio (WAV)");
    const std::uint64_t len = in.size();
    std::uint64_t i = 12;
    // i only grows and never passes len + 2^32 + 9, so none of this can wrap.
    while (i <= len && len - i >= 8) {
        const ByteView chunk = in.at(i, kFmtChunk);
        if (chunk.size() < 8) break;  // the input ended early
        Fields f(chunk);
        if (chunk.size() == kFmtChunk && has_at(chunk, 0, "fmt ")) {
            section.insert_u64("audio_format_tag", f.skip(8).u16le());
            section.insert_u64("channels", f.u16le());
            section.insert_u64("sample_rate", f.u32le());
            section.insert_u64("bits_per_sample", f.skip(6).u16le());
            break;
        }
        const std::uint32_t size = f.skip(4).u32le();
        i += 8 + std::uint64_t{size} + (size & 1);
    }
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "RIFF"); }

ExtractResult extract(Input& in, Section section) {
    std::array<std::uint8_t, kWebpHead> buffer;
    const ByteView head = in.fill(0, buffer);
    if (head.size() < 12) return in.malformed("header too short");

    const std::string form = utf8_lossy(head.subspan(8, 4));
    section.insert_string("form_type", form);
    if (form == "WEBP") {
        read_webp(head, section);
    } else if (form == "WAVE") {
        read_wave(in, section);
    } else if (form == "AVI ") {
        section.insert_string("media_kind", "video (AVI)");
    }
    return section;
}

}  // namespace vorandix::extractors::riff
