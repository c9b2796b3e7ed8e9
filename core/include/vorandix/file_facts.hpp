// The whole-file facts: byte counts, entropy, SHA-256 and CRC-32 of one stream, from one pass.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>

#include "vorandix/bytes.hpp"

struct evp_md_ctx_st;

namespace vorandix {

using ByteCounts = std::array<std::uint64_t, 256>;

// Counts byte values. Eight consecutive bytes go to eight different tables, so increments of
// a repeated value do not wait on each other; the tables are summed only when asked. Inline,
// because the portable digest path calls it once per 64-byte block.
class ByteHistogram {
public:
    static constexpr int kTables = 8;
    using Tables = std::uint32_t[kTables][256];

    ByteHistogram() { std::memset(tables_, 0, sizeof tables_); }

    void add(ByteView data) {
        const std::uint8_t* p = data.data();
        std::size_t n = data.size();
        while (n > 0) {
            const std::size_t piece = n < kMaxPending ? n : kMaxPending;
            count(p, piece, count_into(piece));
            p += piece;
            n -= piece;
        }
    }

    // For a kernel that counts by itself: returns the tables into which exactly `n` more bytes
    // (at most 2^31) may be counted, byte i of the caller's run into table i % kTables.
    Tables& count_into(std::size_t n) {
        // 32-bit counters: flush long before any of them could wrap.
        if (n > kMaxPending - pending_) flush();
        pending_ += n;
        return tables_;
    }

    ByteCounts counts() const;

private:
    static constexpr std::uint64_t kMaxPending = std::uint64_t{1} << 31;

    static void count(const std::uint8_t* p, std::size_t n, Tables& t) {
        std::size_t i = 0;
        // Byte loads rather than shifts out of a wide word: fewer instructions per byte, which
        // leaves room for the SHA-256 rounds this is interleaved with.
        for (; i + kTables <= n; i += kTables) {
            ++t[0][p[i]];
            ++t[1][p[i + 1]];
            ++t[2][p[i + 2]];
            ++t[3][p[i + 3]];
            ++t[4][p[i + 4]];
            ++t[5][p[i + 5]];
            ++t[6][p[i + 6]];
            ++t[7][p[i + 7]];
        }
        for (; i < n; ++i) ++t[0][p[i]];
    }
    void flush();

    alignas(64) Tables tables_;
    std::uint64_t pending_ = 0;  // bytes counted in tables_ since the last flush
    ByteCounts totals_{};
};

// Shannon entropy in bits per byte, rounded to three decimals; nothing when no byte was counted.
// A single repeated value gives negative zero.
std::optional<double> entropy_bits_per_byte(const ByteCounts& counts);

// What WholeFileDigest gives at the end.
struct WholeFileResult {
    std::array<std::uint8_t, 32> sha256;
    std::uint32_t crc32;  // zlib's crc32 of the stream
    ByteCounts counts;
};

enum class DigestPath {
    Fastest,   // the fused kernel when the processor has SHA, PCLMULQDQ and SSE4.1; else Portable
    Portable,  // OpenSSL's SHA-256 and libdeflate's CRC-32, on any processor
};

// SHA-256, CRC-32 and byte counts of one stream, fed in pieces of any size. Both paths give
// the same result for every input.
class WholeFileDigest {
public:
    explicit WholeFileDigest(DigestPath path = DigestPath::Fastest);
    ~WholeFileDigest();
    WholeFileDigest(const WholeFileDigest&) = delete;
    WholeFileDigest& operator=(const WholeFileDigest&) = delete;

    // True when the fused kernel runs.
    bool fused() const { return fused_; }
    // False when the portable path could not set up OpenSSL's SHA-256; finish() then fails.
    bool ok() const { return fused_ || sha_ != nullptr; }

    void update(const std::uint8_t* p, std::size_t n);

    // Ends the stream; call once. Nothing when OpenSSL failed (see ok()).
    std::optional<WholeFileResult> finish();

private:
    void fused_blocks(const std::uint8_t* p, std::size_t blocks);

    ByteHistogram histogram_;
    bool fused_;
    evp_md_ctx_st* sha_ = nullptr;  // the portable path's digest
    std::uint32_t crc_ = 0;  // the portable path's CRC-32

    // The fused path: its SHA-256 words, its four CRC-32 lanes, and the bytes of a block not
    // yet complete.
    alignas(16) std::uint32_t state_[8];
    alignas(16) std::uint8_t lanes_[64] = {};
    bool lanes_started_ = false;
    std::uint8_t partial_[64];
    std::size_t partial_len_ = 0;
    std::uint64_t total_len_ = 0;
};

}  // namespace vorandix
