// The member header of a gzip file (RFC 1952): method, time stamp, operating system and the
// stored file name. Nothing is inflated; only the header bytes and the name are read.
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

constexpr std::size_t kFixedHeader = 10;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;

// The name's terminator may lie anywhere up to the end of a multi-gigabyte file; it is looked
// for in pieces of this size so that a file without one costs no more memory than a piece.
constexpr std::size_t kNamePiece = 65536;

const char* os_label(std::uint8_t os) {
    switch (os) {
        case 0:
            return "FAT (Windows/DOS)";
        case 3:
            return "Unix";
        case 7:
            return "macOS";
        case 11:
            return "NTFS";
        case 255:
            return "unknown";
        default:
            return "other";
    }
}

// The zero-terminated name starting at `start`, or nothing when no zero byte follows it.
IoResult<std::optional<std::string>> read_name(RandomAccess& input, std::uint64_t start,
                                               std::uint64_t size) {
    for (std::uint64_t pos = start; pos < size;) {
        auto piece = input.at(pos, kNamePiece);
        if (!piece) return piece.error();
        if (piece->empty()) break;  // the input ended early
        const void* zero = std::memchr(piece->data(), 0, piece->size());
        if (!zero) {
            pos += piece->size();
            continue;
        }
        const auto in_piece =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - piece->data());
        // A name that fits in the first piece is decoded from it as it stands; a longer one is
        // read again now that its length is known.
        if (pos == start) return std::optional(utf8_lossy(piece->first(in_piece)));
        const std::uint64_t length = pos - start + in_piece;
        auto name = input.at(start, static_cast<std::size_t>(length));
        if (!name) return name.error();
        return std::optional(utf8_lossy(*name));
    }
    return std::optional<std::string>();
}

class GzipExtractor final : public Extractor {
public:
    const char* name() const override { return "gzip"; }

    bool applies(const ExtractContext& ctx) const override {
        return ctx.head.size() >= 2 && ctx.head[0] == 0x1F && ctx.head[1] == 0x8B;
    }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto size = input.size();
        if (!size) return ExtractError::io(size.error());
        auto fixed = input.at(0, kFixedHeader + 2);
        if (!fixed) return ExtractError::io(fixed.error());
        if (fixed->size() < kFixedHeader) {
            return ExtractError::malformed(name(), "header too short");
        }
        const ByteView h = *fixed;
        const std::uint8_t flags = h[3];
        const std::uint32_t mtime = load_u32le(&h[4]);

        Section section(name());
        section.insert_str("compression_method", h[2] == 8 ? "deflate" : "unknown");
        // RFC 1952 uses 0 for "no time stamp available".
        if (mtime != 0) section.insert_u64("modification_time_unix", mtime);
        section.insert_str("os", os_label(h[9]));

        if (flags & kFlagName) {
            std::uint64_t start = kFixedHeader;
            // The extra field (length-prefixed) stands between the fixed header and the name.
            if ((flags & kFlagExtra) && h.size() >= kFixedHeader + 2) {
                start = kFixedHeader + 2 + load_u16le(&h[kFixedHeader]);
            }
            auto name = read_name(input, start, *size);
            if (!name) return ExtractError::io(name.error());
            if (*name) section.insert_string("original_filename", std::move(**name));
        }
        return section;
    }
};

}  // namespace

const Extractor& gzip_extractor() {
    static const GzipExtractor reader;
    return reader;
}

}  // namespace vorandix
