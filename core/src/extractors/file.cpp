// Whole-file facts: size, sniffed type, byte entropy, SHA-256 and CRC-32, from one pass.
#include <algorithm>
#include <memory>

#include "extractors/extractors.hpp"
#include "vorandix/file_facts.hpp"

namespace vorandix {

namespace {

constexpr std::size_t kReadSize = 65536;

class FileExtractor final : public Extractor {
public:
    const char* name() const override { return "file"; }
    bool applies(const ExtractContext&) const override { return true; }

    ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const override {
        Section section(name());
        section.insert_u64("size_bytes", ctx.total_len);
        if (ctx.mime_type) section.insert_str("mime_detected", *ctx.mime_type);
        if (ctx.extension) section.insert_str("extension_canonical", *ctx.extension);

        auto digest = std::make_unique<WholeFileDigest>();
        if (!digest->ok()) return ExtractError::other("sha256 unavailable");
        const auto consume = [&](const std::uint8_t* p, std::size_t n) { digest->update(p, n); };

        if (const auto memory = source.view()) {
            // Already in memory: the same 64 KiB pieces, straight from the caller's buffer.
            auto pos = source.seek(0, Whence::Current);
            if (!pos) return ExtractError::io(pos.error());
            for (std::uint64_t at = *pos; at < memory->size(); at += kReadSize) {
                const auto n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(kReadSize, memory->size() - at));
                consume(memory->data() + at, n);
            }
        } else {
            auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadSize);
            for (;;) {
                auto got = source.read(buffer.get(), kReadSize);
                if (!got) return ExtractError::io(got.error());
                if (*got == 0) break;
                consume(buffer.get(), *got);
            }
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
};

}  // namespace

const Extractor& file_extractor() {
    static const FileExtractor reader;
    return reader;
}

}  // namespace vorandix
