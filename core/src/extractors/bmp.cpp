// BMP: the file header's stored size, the DIB header's size and, for an information header
// of 40 bytes or more, the image size, orientation, bit depth and compression.
#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

// Inputs this short cannot hold the fields reported for every bitmap.
constexpr std::uint64_t kMinSize = 30;
// A 14-byte file header and a 40-byte information header.
constexpr std::uint64_t kInfoHeaderEnd = 54;

const char* compression_label(std::uint32_t compression) {
    switch (compression) {
        case 0:
            return "none (BI_RGB)";
        case 1:
            return "RLE8";
        case 2:
            return "RLE4";
        case 3:
            return "bitfields";
        case 4:
            return "JPEG";
        case 5:
            return "PNG";
        default:
            return "other";
    }
}

// |v| of a signed 32-bit field; the most negative value has a magnitude of 2^31.
std::uint64_t magnitude(std::uint32_t stored) {
    const auto v = static_cast<std::int64_t>(static_cast<std::int32_t>(stored));
    return static_cast<std::uint64_t>(v < 0 ? -v : v);
}

class BmpExtractor final : public Extractor {
public:
    const char* name() const override { return "bmp"; }

    bool applies(const ExtractContext& ctx) const override { return has_at(ctx.head, 0, "BM"); }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto size = input.size();
        if (!size) return ExtractError::io(size.error());
        const std::uint64_t n = *size;
        if (n < kMinSize) return ExtractError::malformed(name(), "header too short");

        auto header = input.at(0, kInfoHeaderEnd);
        if (!header) return ExtractError::io(header.error());
        const ByteView h = *header;

        Section section(name());
        section.insert_u64("file_size_header", load_u32le(h.data() + 2));
        const std::uint32_t dib_size = load_u32le(h.data() + 14);
        section.insert_u64("dib_header_size", dib_size);
        // A core header (12 bytes) lays its fields out differently; only an information header
        // has them where they are read here.
        if (dib_size < 40 || n < kInfoHeaderEnd) return section;

        const std::uint32_t height = load_u32le(h.data() + 22);
        section.insert_u64("width", magnitude(load_u32le(h.data() + 18)));
        section.insert_u64("height", magnitude(height));
        section.insert_bool("top_down", static_cast<std::int32_t>(height) < 0);
        section.insert_u64("bit_depth", load_u16le(h.data() + 28));
        section.insert_str("compression", compression_label(load_u32le(h.data() + 30)));
        return section;
    }
};

}  // namespace

const Extractor& bmp_extractor() {
    static const BmpExtractor reader;
    return reader;
}

}  // namespace vorandix
