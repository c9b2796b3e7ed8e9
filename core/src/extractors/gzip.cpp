// The member header of a gzip file (RFC 1952): method, time stamp, operating system and the
// stored file name. Nothing is inflated; only the header bytes and the name are read.
#include <cstring>

#include "extractors/toolkit.hpp"

namespace vorandix::extractors::gzip {

namespace {

constexpr std::size_t kFixedHeader = 10;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;

// The name's terminator may lie anywhere up to the end of a multi-gigabyte file; it is looked
// for in pieces of this size so that a file without one costs no more memory than a piece.
constexpr std::size_t kNamePiece = 65536;
constexpr std::string_view kNameKey = "original_filename";

constexpr Label<std::uint8_t> kSystems[] = {
    {0, "FAT (Windows/DOS)"}, {3, "Unix"}, {7, "macOS"}, {11, "NTFS"}, {255, "unknown"},
};

// The zero-terminated name starting at `start`, or nothing when no zero byte follows it. The
// terminator is looked for to the end of the input, a piece at a time; a name longer than the
// text the section may take is read only that far and cut there.
std::optional<std::string> read_name(Input& in, std::uint64_t start) {
    const std::uint64_t size = in.size();
    for (std::uint64_t pos = start; pos < size;) {
        const ByteView piece = in.at(pos, kNamePiece);
        if (piece.empty()) break;  // the input ended early
        const void* zero = std::memchr(piece.data(), 0, piece.size());
        if (!zero) {
            pos += piece.size();
            continue;
        }
        const auto in_piece =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - piece.data());
        // A name that fits in the first piece is decoded from it as it stands; a longer one is
        // read again now that its length is known.
        if (pos == start) return in.keep_text(kNameKey, utf8_lossy(piece.first(in_piece)));
        const std::uint64_t length = pos - start + in_piece;
        const std::uint64_t room = in.text_room();
        const auto taken = static_cast<std::size_t>(std::min(length, room));
        return in.keep_text(kNameKey, utf8_lossy(in.at(start, taken)), taken == length);
    }
    return std::nullopt;
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "\x1F\x8B"); }

ExtractResult extract(Input& in, Section section) {
    std::array<std::uint8_t, kFixedHeader + 2> header;
    Fields h(in.fill(0, header));
    if (h.left() < kFixedHeader) return in.malformed("header too short");
    const std::uint8_t method = h.skip(2).u8();
    const std::uint8_t flags = h.u8();
    const std::uint32_t mtime = h.u32le();
    const std::uint8_t os = h.skip(1).u8();

    section.insert_string("compression_method", method == 8 ? "deflate" : "unknown");
    // RFC 1952 uses 0 for "no time stamp available".
    if (mtime != 0) section.insert_u64("modification_time_unix", mtime);
    section.insert_string("os", label_of(kSystems, os, "other"));

    if (flags & kFlagName) {
        std::uint64_t start = kFixedHeader;
        // The extra field (length-prefixed) stands between the fixed header and the name.
        if ((flags & kFlagExtra) && h.left() >= 2) start = kFixedHeader + 2 + h.u16le();
        if (auto name = read_name(in, start)) {
            section.insert_string(std::string(kNameKey), std::move(*name));
        }
    }
    return section;
}

}  // namespace vorandix::extractors::gzip
