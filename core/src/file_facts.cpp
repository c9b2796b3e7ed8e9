// The whole-file facts: byte counts and entropy, and the two ways of computing SHA-256, CRC-32
// and the counts in one pass (the fused kernel, or OpenSSL and libdeflate).
#include "vorandix/file_facts.hpp"

#include <algorithm>
#include <cmath>

#include <libdeflate.h>
#include <openssl/evp.h>

#include "file_digest_fused.hpp"

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

constexpr std::size_t kBlock = 64;
// Blocks per kernel call: the histogram's tables take at most 2^31 bytes between flushes.
constexpr std::size_t kBlocksPerCall = std::size_t{1} << 16;

// Fetching the algorithm once spares every call OpenSSL's implicit lookup, which costs more
// than hashing a small file. OpenSSL keeps the fetched method for the life of the process.
const EVP_MD* sha256_method() {
    static const EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

// SHA-256 rounds form one long dependency chain and leave most of the core idle. Handing the
// digest one 64-byte block at a time and counting that block right after puts the counting
// in the shadow of the rounds, where it costs little; whole-buffer calls would run the two
// back to back.
void digest_and_count(EVP_MD_CTX* sha, ByteHistogram& histogram, const std::uint8_t* p,
                      std::size_t n) {
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        EVP_DigestUpdate(sha, p + i, kBlock);
        histogram.add(ByteView(p + i, kBlock));
    }
    if (i < n) {
        EVP_DigestUpdate(sha, p + i, n - i);
        histogram.add(ByteView(p + i, n - i));
    }
}

constexpr std::uint32_t kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

WholeFileDigest::WholeFileDigest(DigestPath path) {
    static const bool fused_available = fused::supported();
    fused_ = path == DigestPath::Fastest && fused_available;
    if (fused_) {
        std::copy(std::begin(kSha256Initial), std::end(kSha256Initial), state_);
        return;
    }
    sha_ = EVP_MD_CTX_new();
    if (sha_ && (!sha256_method() || EVP_DigestInit_ex(sha_, sha256_method(), nullptr) != 1)) {
        EVP_MD_CTX_free(sha_);
        sha_ = nullptr;
    }
}

WholeFileDigest::~WholeFileDigest() { EVP_MD_CTX_free(sha_); }

void WholeFileDigest::update(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return;
    if (!fused_) {
        if (!sha_) return;
        crc_ = libdeflate_crc32(crc_, p, n);
        digest_and_count(sha_, histogram_, p, n);
        return;
    }
    total_len_ += n;
    if (partial_len_ > 0) {
        const std::size_t take = std::min(n, kBlock - partial_len_);
        std::memcpy(partial_ + partial_len_, p, take);
        partial_len_ += take;
        p += take;
        n -= take;
        if (partial_len_ < kBlock) return;
        fused_blocks(partial_, 1);
        partial_len_ = 0;
    }
    fused_blocks(p, n / kBlock);
    partial_len_ = n % kBlock;
    std::memcpy(partial_, p + (n - partial_len_), partial_len_);
}

void WholeFileDigest::fused_blocks(const std::uint8_t* p, std::size_t blocks) {
    while (blocks > 0) {
        const std::size_t now = std::min(blocks, kBlocksPerCall);
        fused::digest_blocks(state_, lanes_, lanes_started_, histogram_.count_into(now * kBlock),
                             p, now);
        lanes_started_ = true;
        p += now * kBlock;
        blocks -= now;
    }
}

std::optional<WholeFileResult> WholeFileDigest::finish() {
    WholeFileResult out;
    if (!fused_) {
        unsigned int len = 0;
        if (!sha_ || EVP_DigestFinal_ex(sha_, out.sha256.data(), &len) != 1 ||
            len != out.sha256.size()) {
            return std::nullopt;
        }
        out.crc32 = crc_;
        out.counts = histogram_.counts();
        return out;
    }

    // The bytes short of a block never reached the kernel: libdeflate and the histogram take
    // them here, and they start the SHA-256 padding (0x80, zeros, the length in bits).
    const ByteView tail(partial_, partial_len_);
    histogram_.add(tail);
    out.counts = histogram_.counts();

    std::uint32_t crc = 0;
    if (lanes_started_) {
        std::uint8_t folded[16];
        fused::fold_lanes(lanes_, folded);
        crc = libdeflate_crc32(0xffffffff, folded, sizeof folded);
    }
    out.crc32 = libdeflate_crc32(crc, tail.data(), tail.size());

    std::uint8_t last[2 * kBlock] = {};
    std::memcpy(last, tail.data(), tail.size());
    last[tail.size()] = 0x80;
    const std::size_t blocks = tail.size() + 1 + 8 <= kBlock ? 1 : 2;
    const std::uint64_t bits = total_len_ * 8;
    for (int i = 0; i < 8; ++i) {
        last[blocks * kBlock - 1 - static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bits >> (8 * i));
    }
    for (std::size_t b = 0; b < blocks; ++b) fused::sha256_block(state_, last + b * kBlock);
    for (std::size_t i = 0; i < 32; ++i) {
        out.sha256[i] = static_cast<std::uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
    }
    return out;
}

}  // namespace vorandix
