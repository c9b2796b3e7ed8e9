// The Parquet encoder's Snappy pages, decoded here as Snappy's format describes them.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "parquet_encoder.hpp"

namespace {

// Snappy's raw format decoded; nullopt where the bytes break it.
std::optional<std::string> unsnappy(std::string_view in) {
    std::size_t i = 0;
    std::uint64_t size = 0;
    for (int shift = 0;; shift += 7) {
        if (i >= in.size() || shift > 28) return std::nullopt;
        const auto b = static_cast<std::uint8_t>(in[i++]);
        size |= std::uint64_t{b & 0x7fu} << shift;
        if (!(b & 0x80)) break;
    }
    const auto bytes = [&](int n) -> std::optional<std::size_t> {
        if (in.size() - i < static_cast<std::size_t>(n)) return std::nullopt;
        std::size_t v = 0;
        for (int k = 0; k < n; ++k) v |= std::size_t{static_cast<std::uint8_t>(in[i++])} << (8 * k);
        return v;
    };
    std::string out;
    while (i < in.size()) {
        const auto tag = static_cast<std::uint8_t>(in[i++]);
        std::optional<std::size_t> distance;
        std::size_t length = (tag >> 2) + 1;
        if ((tag & 3) == 0) {
            if (length > 60) {
                const auto n = bytes(static_cast<int>(length) - 60);
                if (!n) return std::nullopt;
                length = *n + 1;
            }
            if (in.size() - i < length) return std::nullopt;
            out.append(in.substr(i, length));
            i += length;
            continue;
        }
        if ((tag & 3) == 1) {
            length = ((tag >> 2) & 7) + 4;
            const auto low = bytes(1);
            if (low) distance = std::size_t{static_cast<std::size_t>(tag >> 5) << 8} | *low;
        } else {
            distance = bytes((tag & 3) == 2 ? 2 : 4);
        }
        if (!distance || *distance == 0 || *distance > out.size()) return std::nullopt;
        for (std::size_t k = 0; k < length; ++k) out.push_back(out[out.size() - *distance]);
    }
    if (out.size() != size) return std::nullopt;
    return out;
}

TEST(ParquetEncoderTest, SnappyPagesDecodeToWhatWasCompressed) {
    std::mt19937 rng(7);
    std::string noise(200000, '\0'), words, runs;
    for (char& c : noise) c = static_cast<char>(rng());
    while (words.size() < 150000) words += "path/d" + std::to_string(rng() % 40) + "/f.jpg\x01";
    for (int i = 0; i < 3000; ++i) runs.append(rng() % 200, static_cast<char>('a' + i % 3));
    const std::vector<std::string> inputs = {
        "", "a", "abcd", "abcabcabcabcabc", std::string(100000, 'x'), noise, words, runs,
        noise.substr(0, 70000) + noise.substr(0, 70000),  // a repeat more than a block away
    };
    for (const std::string& input : inputs) {
        std::string packed;
        vorandix::py::snappy_compress(reinterpret_cast<const std::uint8_t*>(input.data()),
                                      input.size(), packed);
        EXPECT_EQ(unsnappy(packed), input) << input.size();
        if (input.size() == 100000) {
            EXPECT_LT(packed.size(), 6000u);  // copies of up to 64 bytes
        }
    }
}

}  // namespace
