// GIF: the logical screen descriptor, then a walk over the block stream that counts image
// descriptors and finds the NETSCAPE2.0 loop count. Data sub-blocks are stepped over by their
// length bytes; no colour table or image data is read.
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::gif {

namespace {

// Header (6) and logical screen descriptor (7).
constexpr std::size_t kHeaderSize = 13;
// An application extension up to the loop count of a NETSCAPE2.0 block.
constexpr std::size_t kBlockHead = 18;

// Bytes of the colour table announced by a packed byte: 2^(size field + 1) RGB triples.
std::uint64_t color_table_bytes(std::uint8_t packed) {
    return 3 * (std::uint64_t{1} << ((packed & 7) + 1));
}

// The position just past the zero-length block that ends the sub-blocks starting at `q`, or a
// position at or past `n` when the input ends first.
std::uint64_t skip_sub_blocks(Input& in, std::uint64_t q, std::uint64_t n) {
    while (q < n) {
        const ByteView len = in.at(q, 1);
        if (len.empty()) return n;
        q += 1 + std::uint64_t{len[0]};
        if (len[0] == 0) break;
    }
    return q;
}

}  // namespace

bool applies(const ExtractContext& ctx) {
    return has_at(ctx.head, 0, "GIF87a") || has_at(ctx.head, 0, "GIF89a");
}

ExtractResult extract(Input& in, Section section) {
    const std::uint64_t n = in.size();
    if (n < kHeaderSize) return in.malformed("header too short");

    std::array<std::uint8_t, kHeaderSize> header;
    Fields h(in.fill(0, header));
    section.insert_string("version", utf8_lossy(h.skip(3).bytes(3)));
    section.insert_u64("width", h.u16le());
    section.insert_u64("height", h.u16le());
    const std::uint8_t packed = h.u8();
    const bool global_table = (packed & 0x80) != 0;
    section.insert_u64("color_resolution_bits", ((packed >> 4) & 7) + 1);
    section.insert_bool("global_color_table", global_table);
    if (global_table) {
        section.insert_u64("global_color_table_size", std::uint64_t{1} << ((packed & 7) + 1));
    }

    std::uint64_t frames = 0;
    std::optional<std::uint16_t> loop_count;
    // A colour table that runs past the end simply puts the walk past the end.
    std::uint64_t p = kHeaderSize + (global_table ? color_table_bytes(packed) : 0);
    while (p < n) {
        const ByteView b = in.at(p, kBlockHead);
        if (b.empty()) break;
        std::uint64_t q;
        if (b[0] == 0x21) {
            // Extension: introducer, label, then data sub-blocks.
            if (n - p <= 2) break;
            if (b[1] == 0xFF && has_at(b, 3, "NETSCAPE") && has_at(b, 11, "2.0") &&
                b.size() >= kBlockHead) {
                loop_count = load_u16le(b.data() + 16);
            }
            q = p + 2;
        } else if (b[0] == 0x2C) {
            // Image descriptor: counted even when the file ends inside it.
            ++frames;
            if (n - p < 10) break;
            const std::uint8_t local = b[9];
            q = p + 10 + ((local & 0x80) ? color_table_bytes(local) : 0);
            q += 1;  // LZW minimum code size
        } else if (b[0] == 0x3B) {
            break;  // trailer
        } else {
            ++p;  // a stray byte between blocks
            continue;
        }
        p = skip_sub_blocks(in, q, n);
    }
    section.insert_u64("frames", frames);
    section.insert_bool("animated", frames >= 2);
    if (loop_count) section.insert_u64("loop_count", *loop_count);
    return section;
}

}  // namespace vorandix::extractors::gif
