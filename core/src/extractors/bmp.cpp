// BMP: the file header's stored size, the DIB header's size and, for an information header
// of 40 bytes or more, the image size, orientation, bit depth and compression.
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::bmp {

namespace {

// Inputs this short cannot hold the fields reported for every bitmap.
constexpr std::uint64_t kMinSize = 30;
// A 14-byte file header and a 40-byte information header.
constexpr std::size_t kInfoHeaderEnd = 54;

constexpr Label<std::uint32_t> kCompression[] = {
    {0, "none (BI_RGB)"}, {1, "RLE8"}, {2, "RLE4"}, {3, "bitfields"}, {4, "JPEG"}, {5, "PNG"},
};

// |v| of a signed 32-bit field; the most negative value has a magnitude of 2^31.
std::uint64_t magnitude(std::uint32_t stored) {
    const auto v = static_cast<std::int64_t>(static_cast<std::int32_t>(stored));
    return static_cast<std::uint64_t>(v < 0 ? -v : v);
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "BM"); }

ExtractResult extract(Input& in, Section section) {
    const std::uint64_t n = in.size();
    if (n < kMinSize) return in.malformed("header too short");
    std::array<std::uint8_t, kInfoHeaderEnd> header;
    Fields h(in.fill(0, header));

    section.insert_u64("file_size_header", h.skip(2).u32le());
    const std::uint32_t dib_size = h.skip(8).u32le();
    section.insert_u64("dib_header_size", dib_size);
    // A core header (12 bytes) lays its fields out differently; only an information header
    // has them where they are read here.
    if (dib_size < 40 || n < kInfoHeaderEnd) return section;

    const std::uint32_t width = h.u32le();
    const std::uint32_t height = h.u32le();
    section.insert_u64("width", magnitude(width));
    section.insert_u64("height", magnitude(height));
    section.insert_bool("top_down", static_cast<std::int32_t>(height) < 0);
    section.insert_u64("bit_depth", h.skip(2).u16le());
    section.insert_string("compression", label_of(kCompression, h.u32le(), "other"));
    return section;
}

}  // namespace vorandix::extractors::bmp
