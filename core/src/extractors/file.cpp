// Whole-file facts: size, sniffed type, byte entropy, SHA-256 and CRC-32, from one pass.
#include <algorithm>
#include <memory>

#include "extractors/toolkit.hpp"
#include "vorandix/file_facts.hpp"

namespace vorandix::extractors::file {

namespace {
constexpr std::size_t kReadSize = 65536;
}  // namespace

bool applies(const ExtractContext&) { return true; }

ExtractResult extract(Input& in, Section section) {
    const ExtractContext& ctx = in.context();
    section.insert_u64("size_bytes", ctx.total_len);
    if (ctx.mime_type) section.insert_string("mime_detected", std::string(*ctx.mime_type));
    if (ctx.extension) section.insert_string("extension_canonical", std::string(*ctx.extension));
    if (!ctx.options.whole_file_pass) return section;

    auto digest = std::make_unique<WholeFileDigest>();
    if (!digest->ok()) return ExtractError::other("sha256 unavailable");

    std::uint64_t read = 0;
    if (in.memory()) {
        // Already in memory: the same 64 KiB pieces, straight from the caller's buffer.
        auto pos = in.source().seek(0, Whence::Current);
        if (!pos) return ExtractError::io(pos.error());
        for (std::uint64_t at = *pos;; at += kReadSize) {
            const ByteView piece = in.at(at, kReadSize);
            if (piece.empty()) break;
            digest->update(piece.data(), piece.size());
            read += piece.size();
        }
    } else {
        auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadSize);
        while (const std::size_t got = in.read(buffer.get(), kReadSize)) {
            digest->update(buffer.get(), got);
            read += got;
        }
    }
    // Digests of bytes that were never the file as a whole describe nothing: a file cut or
    // grown while it was read is an error, not a section.
    if (!in.failed() && ctx.options.length_is_content && read != ctx.total_len) {
        return ExtractError::io(IoError{"the file changed while it was read: " +
                                            std::to_string(ctx.total_len) + " bytes reported, " +
                                            std::to_string(read) + " read",
                                        0});
    }

    const auto facts = digest->finish();
    if (!facts) return ExtractError::other("sha256 unavailable");
    if (auto h = entropy_bits_per_byte(facts->counts)) {
        section.insert("entropy_bits_per_byte", MetaValue::floating(*h));
    }
    section.insert_string("sha256", hex_lower(ByteView(facts->sha256)));
    section.insert_string("crc32", hex_lower(facts->crc32, 8));
    return section;
}

}  // namespace vorandix::extractors::file
