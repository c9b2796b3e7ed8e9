// Whole-file facts: size, sniffed type, byte entropy, SHA-256 and CRC-32, from one pass.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include <libdeflate.h>
#include <openssl/evp.h>

#include "extractors/toolkit.hpp"
#include "vorandix/file_facts.hpp"

namespace vorandix {

void ByteHistogram::flush() {
    for (int v = 0; v < 256; ++v) {
        std::uint64_t sum = 0;
        for (int t = 0; t < kTables; ++t) sum += tables_[t][v];
        totals_[static_cast<std::size_t>(v)] += sum;
    }
    std::memset(tables_, 0, sizeof tables_);
    pending_ = 0;
}

ByteCounts ByteHistogram::counts() const {
    ByteCounts out = totals_;
    for (int v = 0; v < 256; ++v) {
        for (int t = 0; t < kTables; ++t) out[static_cast<std::size_t>(v)] += tables_[t][v];
    }
    return out;
}

std::optional<double> entropy_bits_per_byte(const ByteCounts& counts) {
    std::uint64_t total = 0;
    for (std::uint64_t c : counts) total += c;
    if (total == 0) return std::nullopt;
    // Starting from negative zero keeps the sign for a single repeated value: -0.0 - 0.0.
    double h = -0.0;
    const double n = static_cast<double>(total);
    for (std::uint64_t c : counts) {
        if (c == 0) continue;
        const double p = static_cast<double>(c) / n;
        h = h - std::log2(p) * p;
    }
    return round3(h);
}

namespace {
constexpr std::size_t kReadSize = 65536;
constexpr std::size_t kShaBlock = 64;
}  // namespace

// SHA-256 rounds form one long dependency chain and leave most of the core idle. Handing the
// digest one 64-byte block at a time and counting that block right after puts the counting
// in the shadow of the rounds, where it costs little; whole-buffer calls would run the two
// back to back.
void digest_and_count(EVP_MD_CTX* sha, ByteHistogram& histogram, const std::uint8_t* p,
                      std::size_t n) {
    std::size_t i = 0;
    for (; i + kShaBlock <= n; i += kShaBlock) {
        EVP_DigestUpdate(sha, p + i, kShaBlock);
        histogram.add(ByteView(p + i, kShaBlock));
    }
    if (i < n) {
        EVP_DigestUpdate(sha, p + i, n - i);
        histogram.add(ByteView(p + i, n - i));
    }
}

namespace {

// Fetching the algorithm once spares every call OpenSSL's implicit lookup, which costs more
// than hashing a small file. OpenSSL keeps the fetched method for the life of the process.
const EVP_MD* sha256_method() {
    static const EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

struct DigestFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

namespace extractors::file {

bool applies(const ExtractContext&) { return true; }

ExtractResult extract(Input& in, Section section) {
    const ExtractContext& ctx = in.context();
    section.insert_u64("size_bytes", ctx.total_len);
    if (ctx.mime_type) section.insert_string("mime_detected", std::string(*ctx.mime_type));
    if (ctx.extension) section.insert_string("extension_canonical", std::string(*ctx.extension));
    if (!ctx.options.whole_file_pass) return section;

    std::unique_ptr<EVP_MD_CTX, DigestFree> sha(EVP_MD_CTX_new());
    if (!sha || !sha256_method() || EVP_DigestInit_ex(sha.get(), sha256_method(), nullptr) != 1) {
        return ExtractError::other("sha256 unavailable");
    }
    std::uint32_t crc = 0;
    auto histogram = std::make_unique<ByteHistogram>();
    const auto consume = [&](const std::uint8_t* p, std::size_t n) {
        crc = libdeflate_crc32(crc, p, n);
        digest_and_count(sha.get(), *histogram, p, n);
    };

    std::uint64_t read = 0;
    if (in.memory()) {
        // Already in memory: the same 64 KiB pieces, straight from the caller's buffer.
        auto pos = in.source().seek(0, Whence::Current);
        if (!pos) return ExtractError::io(pos.error());
        for (std::uint64_t at = *pos;; at += kReadSize) {
            const ByteView piece = in.at(at, kReadSize);
            if (piece.empty()) break;
            consume(piece.data(), piece.size());
            read += piece.size();
        }
    } else {
        auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadSize);
        while (const std::size_t got = in.read(buffer.get(), kReadSize)) {
            consume(buffer.get(), got);
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

    if (auto h = entropy_bits_per_byte(histogram->counts())) {
        section.insert("entropy_bits_per_byte", MetaValue::floating(*h));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (EVP_DigestFinal_ex(sha.get(), digest, &digest_len) != 1) {
        return ExtractError::other("sha256 unavailable");
    }
    section.insert_string("sha256", hex_lower(ByteView(digest, digest_len)));
    section.insert_string("crc32", hex_lower(crc, 8));
    return section;
}

}  // namespace extractors::file

}  // namespace vorandix
