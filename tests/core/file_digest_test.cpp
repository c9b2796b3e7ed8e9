// Both whole-file digest paths against OpenSSL's SHA-256, zlib's crc32 and a plain count.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <zlib.h>

#include "vorandix/file_facts.hpp"

namespace vorandix {
namespace {

constexpr DigestPath kPaths[] = {DigestPath::Fastest, DigestPath::Portable};

// Feeds `data` in reads whose sizes cycle through `reads`, as a byte source would hand them out.
WholeFileResult digest(DigestPath path, ByteView data, const std::vector<std::size_t>& reads) {
    WholeFileDigest d(path);
    EXPECT_EQ(d.fused(), path == DigestPath::Fastest && WholeFileDigest().fused());
    for (std::size_t at = 0, i = 0; at < data.size(); ++i) {
        const std::size_t n = std::min(reads[i % reads.size()], data.size() - at);
        d.update(data.data() + at, n);
        at += n;
    }
    auto result = d.finish();
    EXPECT_TRUE(result.has_value());
    return result.value_or(WholeFileResult{});
}

TEST(WholeFileDigest, KnownVectors) {
    struct Case {
        std::string input;
        const char* sha256;
        std::uint32_t crc32;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 0},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 0x352441c2},
        {"123456789", "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225",
         0xcbf43926},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: two pad blocks
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1", 0x171a3f5f},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrl"
         "mnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1", 0x191f3349},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", 0xdc25bfbc},
    };
    for (const Case& c : cases) {
        const ByteView data(reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size());
        for (DigestPath path : kPaths) {
            const WholeFileResult r = digest(path, data, {65536});
            EXPECT_EQ(hex_lower(ByteView(r.sha256)), c.sha256) << c.input.size();
            EXPECT_EQ(r.crc32, c.crc32) << c.input.size();
        }
    }
}

TEST(WholeFileDigest, BothPathsMatchTheReferencesForEveryLengthAndReadPattern) {
    std::mt19937 rng(17);
    std::vector<std::uint8_t> data(300 << 10);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    // Runs of one value, so the counts are not all alike.
    std::fill(data.begin() + 1000, data.begin() + 5000, std::uint8_t{0});

    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);  // 0 to 3 blocks, every tail
    for (std::size_t n = 65536 - 64; n <= 65536 + 64; ++n) lengths.push_back(n);
    for (int i = 0; i < 20; ++i) lengths.push_back(rng() % data.size());
    lengths.push_back(data.size());

    // The reader's 64 KiB pieces, the file source's 8 KiB buffer, tails that straddle blocks,
    // single bytes, and sizes drawn per case.
    const std::vector<std::vector<std::size_t>> patterns = {
        {65536}, {8192, 8191, 1}, {63, 1, 64, 65, 127}, {1}, {65536, 100, 65436, 3},
    };
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const ByteView input(data.data(), lengths[i]);
        const std::size_t pick = i % (patterns.size() + 1);
        const std::vector<std::size_t> reads =
            pick < patterns.size() ? patterns[pick]
                                   : std::vector<std::size_t>{1 + rng() % 70000, 1 + rng() % 200};

        WholeFileResult want{};
        ASSERT_EQ(EVP_Digest(input.data(), input.size(), want.sha256.data(), nullptr,
                             EVP_sha256(), nullptr), 1);
        want.crc32 = static_cast<std::uint32_t>(
            crc32(0, input.data(), static_cast<uInt>(input.size())));
        for (std::uint8_t b : input) ++want.counts[b];

        for (DigestPath path : kPaths) {
            const WholeFileResult got = digest(path, input, reads);
            const bool fused = path == DigestPath::Fastest;
            EXPECT_EQ(got.sha256, want.sha256) << input.size() << (fused ? " fused" : "");
            EXPECT_EQ(got.crc32, want.crc32) << input.size() << (fused ? " fused" : "");
            EXPECT_EQ(got.counts, want.counts) << input.size() << (fused ? " fused" : "");
        }
    }
}

}  // namespace
}  // namespace vorandix
