// The pieces of the whole-file facts, exposed for the benchmarks that measure each alone.
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
// because the file reader calls it once per 64-byte block.
class ByteHistogram {
public:
    ByteHistogram() { std::memset(tables_, 0, sizeof tables_); }

    void add(ByteView data) {
        const std::uint8_t* p = data.data();
        std::size_t n = data.size();
        while (n > 0) {
            // 32-bit counters: flush long before any of them could wrap.
            if (pending_ >= kMaxPending) flush();
            const std::size_t piece = n < kMaxPending - pending_ ? n : kMaxPending - pending_;
            count(p, piece);
            pending_ += piece;
            p += piece;
            n -= piece;
        }
    }

    ByteCounts counts() const;

private:
    static constexpr int kTables = 8;
    static constexpr std::uint64_t kMaxPending = std::uint64_t{1} << 31;

    void count(const std::uint8_t* p, std::size_t n) {
        std::size_t i = 0;
        // Byte loads rather than shifts out of a wide word: fewer instructions per byte, which
        // leaves room for the SHA-256 rounds the file reader interleaves with this.
        for (; i + kTables <= n; i += kTables) {
            ++tables_[0][p[i]];
            ++tables_[1][p[i + 1]];
            ++tables_[2][p[i + 2]];
            ++tables_[3][p[i + 3]];
            ++tables_[4][p[i + 4]];
            ++tables_[5][p[i + 5]];
            ++tables_[6][p[i + 6]];
            ++tables_[7][p[i + 7]];
        }
        for (; i < n; ++i) ++tables_[0][p[i]];
    }
    void flush();

    alignas(64) std::uint32_t tables_[kTables][256];
    std::uint64_t pending_ = 0;  // bytes counted in tables_ since the last flush
    ByteCounts totals_{};
};

// Feeds `n` bytes to a SHA-256 digest (an initialised EVP_MD_CTX) and to the histogram, one
// 64-byte block of each at a time.
void digest_and_count(evp_md_ctx_st* sha, ByteHistogram& histogram, const std::uint8_t* p,
                      std::size_t n);

// Shannon entropy in bits per byte, rounded to three decimals; nothing when no byte was counted.
// A single repeated value gives negative zero.
std::optional<double> entropy_bits_per_byte(const ByteCounts& counts);

}  // namespace vorandix
