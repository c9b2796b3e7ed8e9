// SHA-256 is one chain of 32 `sha256rnds2` per block, each waiting on the last, so the core
// sits mostly idle while it runs. This kernel fills that idle time with the CRC-32 fold and the
// byte counts of the same block, placed between the rounds: out-of-order execution only looks
// a few dozen instructions ahead, so work that comes after the block's rounds would wait for
// them instead of overlapping. Hence one fully unrolled block with the work interleaved by hand.
//
// The build stays portable: only these functions are compiled for the SHA, SSE4.1 and PCLMULQDQ
// instructions, and WholeFileDigest calls them only when supported() says so.
#include "file_digest_fused.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#define VORANDIX_FUSED_TARGET __attribute__((target("sha,sse4.1,pclmul")))
#define VORANDIX_FUSED_INLINE VORANDIX_FUSED_TARGET __attribute__((always_inline)) inline

namespace vorandix::fused {

bool supported() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool leaf1 = (c & bit_PCLMUL) && (c & bit_SSSE3) && (c & bit_SSE4_1);
    if (!leaf1 || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_SHA) != 0;
}

namespace {

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// CRC-32 (reflected 0xEDB88320) folding constants: x^(512+32) and x^(512-32) mod P for moving
// a lane 64 bytes ahead, x^(128+32) and x^(128-32) mod P for moving it 16 bytes ahead
// (bit-reflected, each shifted left by one).
constexpr long long kFold64Lo = 0x154442bd4, kFold64Hi = 0x1c6e41596;
constexpr long long kFold16Lo = 0x1751997d0, kFold16Hi = 0x0ccaa009e;

struct Regs {
    __m128i abef, cdgh;  // the SHA-256 state in the order sha256rnds2 takes it
    __m128i w[4];        // the message schedule: the four newest groups of four words
    __m128i lane[4];     // CRC-32 lanes: 64 bytes congruent to everything folded so far
    __m128i inject;      // the CRC's initial register, until the first block has taken it
};

VORANDIX_FUSED_INLINE __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Counts byte I of the block. As a volatile asm statement, so that the compiler keeps it as
// one instruction where it is placed, between the two rounds of its group; left to itself it
// batches the table updates into long runs that out-of-order execution cannot overlap.
template <int I>
VORANDIX_FUSED_INLINE void count(const std::uint8_t* p, ByteHistogram::Tables* t) {
    asm volatile("incl %0" : "+m"((*t)[I % ByteHistogram::kTables][p[I]]));
}

// Rounds 4G to 4G+3. With kFused, also the block's bytes 4G to 4G+3 counted and, in the first
// four groups, CRC lane G folded over the 16 bytes that group loads.
template <int G, bool kFused>
VORANDIX_FUSED_INLINE void group(Regs& r, const std::uint8_t* __restrict p,
                                 ByteHistogram::Tables* __restrict t) {
    if constexpr (G < 4) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * G));
        const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
        r.w[G] = _mm_shuffle_epi8(bytes, big_endian);
        if constexpr (kFused) {
            const __m128i folded = fold(r.lane[G], _mm_set_epi64x(kFold64Hi, kFold64Lo));
            r.lane[G] = _mm_xor_si128(folded, bytes);
            if constexpr (G == 0) {
                r.lane[0] = _mm_xor_si128(r.lane[0], r.inject);
                r.inject = _mm_setzero_si128();
            }
        }
    }
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * G));
    __m128i msg = _mm_add_epi32(r.w[G % 4], k);
    r.cdgh = _mm_sha256rnds2_epu32(r.cdgh, r.abef, msg);
    if constexpr (kFused) {
        count<4 * G>(p, t);
        count<4 * G + 1>(p, t);
        count<4 * G + 2>(p, t);
        count<4 * G + 3>(p, t);
    }
    if constexpr (G >= 3 && G <= 14) {
        // Words 4G+4 to 4G+7 (schedule step two).
        const __m128i w7 = _mm_alignr_epi8(r.w[G % 4], r.w[(G + 3) % 4], 4);
        r.w[(G + 1) % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(r.w[(G + 1) % 4], w7), r.w[G % 4]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0e);
    r.abef = _mm_sha256rnds2_epu32(r.abef, r.cdgh, msg);
    if constexpr (G >= 1 && G <= 12) {
        // Schedule step one for words 4G+12 to 4G+15.
        r.w[(G + 3) % 4] = _mm_sha256msg1_epu32(r.w[(G + 3) % 4], r.w[G % 4]);
    }
}

template <bool kFused, int... G>
VORANDIX_FUSED_INLINE void block(Regs& r, const std::uint8_t* p, ByteHistogram::Tables* t,
                                 std::integer_sequence<int, G...>) {
    const __m128i abef = r.abef, cdgh = r.cdgh;
    (group<G, kFused>(r, p, t), ...);
    r.abef = _mm_add_epi32(r.abef, abef);
    r.cdgh = _mm_add_epi32(r.cdgh, cdgh);
}

// H0..H7 in memory <-> ABEF and CDGH in registers.
VORANDIX_FUSED_INLINE void load_state(Regs& r, const std::uint32_t* state) {
    const auto* words = reinterpret_cast<const __m128i*>(state);
    const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(words), 0xb1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(words + 1), 0x1b);
    r.abef = _mm_alignr_epi8(dcba, efgh, 8);
    r.cdgh = _mm_blend_epi16(efgh, dcba, 0xf0);
}

VORANDIX_FUSED_INLINE void store_state(const Regs& r, std::uint32_t* state) {
    const __m128i feba = _mm_shuffle_epi32(r.abef, 0x1b);
    const __m128i dchg = _mm_shuffle_epi32(r.cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

VORANDIX_FUSED_TARGET void digest_blocks(std::uint32_t state[8], std::uint8_t lanes[64],
                                         bool started, ByteHistogram::Tables& tables,
                                         const std::uint8_t* p, std::size_t blocks) {
    auto* lane = reinterpret_cast<__m128i*>(lanes);
    Regs r;
    load_state(r, state);
    for (int i = 0; i < 4; ++i) r.lane[i] = _mm_loadu_si128(lane + i);
    r.inject = started ? _mm_setzero_si128() : _mm_cvtsi32_si128(-1);
    for (; blocks > 0; --blocks, p += 64) {
        block<true>(r, p, &tables, std::make_integer_sequence<int, 16>());
    }
    store_state(r, state);
    for (int i = 0; i < 4; ++i) _mm_storeu_si128(lane + i, r.lane[i]);
}

VORANDIX_FUSED_TARGET void sha256_block(std::uint32_t state[8], const std::uint8_t* p) {
    Regs r;
    load_state(r, state);
    block<false>(r, p, nullptr, std::make_integer_sequence<int, 16>());
    store_state(r, state);
}

VORANDIX_FUSED_TARGET void fold_lanes(const std::uint8_t lanes[64], std::uint8_t out[16]) {
    const auto* lane = reinterpret_cast<const __m128i*>(lanes);
    const __m128i k = _mm_set_epi64x(kFold16Hi, kFold16Lo);
    __m128i x = _mm_loadu_si128(lane);
    for (int i = 1; i < 4; ++i) x = _mm_xor_si128(fold(x, k), _mm_loadu_si128(lane + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
}

}  // namespace vorandix::fused

#else  // not x86: the portable path always

namespace vorandix::fused {
bool supported() { return false; }
void digest_blocks(std::uint32_t*, std::uint8_t*, bool, ByteHistogram::Tables&,
                   const std::uint8_t*, std::size_t) {}
void sha256_block(std::uint32_t*, const std::uint8_t*) {}
void fold_lanes(const std::uint8_t*, std::uint8_t*) {}
}  // namespace vorandix::fused

#endif
