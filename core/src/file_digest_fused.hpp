// The fused whole-file kernel: SHA-256 with the SHA extensions, CRC-32 by carry-less multiply
// folding, and byte counting, in one pass over each 64-byte block. Callers check supported()
// first; the other functions use those instructions unconditionally.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vorandix/file_facts.hpp"

namespace vorandix::fused {

// True when the processor has SHA, PCLMULQDQ, SSSE3 and SSE4.1.
bool supported();

// Feeds `blocks` 64-byte blocks at `p` to the SHA-256 words `state` (H0..H7), to the four
// CRC-32 lanes `lanes` (16 bytes each) and to the tables. While `started` is false the lanes
// hold nothing yet: they must be zero, and the CRC's initial register goes into the first block.
void digest_blocks(std::uint32_t state[8], std::uint8_t lanes[64], bool started,
                   ByteHistogram::Tables& tables, const std::uint8_t* p, std::size_t blocks);

// SHA-256 alone over one 64-byte block: for the padding, which neither the CRC nor the counts see.
void sha256_block(std::uint32_t state[8], const std::uint8_t* block);

// Folds the four lanes into 16 bytes whose CRC-32 register, run from zero, equals the register
// after every byte the lanes took in: libdeflate_crc32(0xFFFFFFFF, out, 16) is their CRC-32.
void fold_lanes(const std::uint8_t lanes[64], std::uint8_t out[16]);

}  // namespace vorandix::fused
