// Throughput of the whole-file facts against their parts, over the same file in one run.
//
//   bench_file_facts [PATH]   (default: a 256 MiB file of random bytes made in /tmp)
//
// Each part is measured twice: reading the file the way the "file" reader does (64 KiB reads
// from the page cache), and over the same bytes already in memory (the computation alone).
// Both digest paths are measured, whichever the processor would pick: the fused kernel and the
// portable one (OpenSSL and libdeflate). The rounds are interleaved, so a busy neighbour slows
// the figures of one round alike: a throughput is its best round, a ratio to SHA-256 alone the
// median over the rounds of the ratio within each round. SHA-256 by path is the floor: the
// ratios to it are the figures to watch (fused kernel: at least 0.9; the whole reader,
// parse_path: at least 0.75).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/evp.h>
#include <unistd.h>

#include "vorandix/engine.hpp"
#include "vorandix/file_facts.hpp"

namespace {

constexpr std::size_t kFileSize = std::size_t{256} << 20;
constexpr std::size_t kRead = 65536;
constexpr int kRounds = 7;

std::string make_file() {
    const std::string path = "/tmp/vorandix-bench-256m.bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::exit(2);
    std::mt19937_64 rng(42);
    std::vector<std::uint64_t> block(kRead / 8);
    for (std::size_t done = 0; done < kFileSize; done += kRead) {
        for (auto& w : block) w = rng();
        if (::write(fd, block.data(), kRead) != static_cast<ssize_t>(kRead)) std::exit(2);
    }
    ::close(fd);
    return path;
}

// Feeds every 64 KiB read of the file to `consume`.
void read_file(const std::string& path, const std::function<void(const std::uint8_t*, std::size_t)>& consume) {
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) std::exit(2);
    std::vector<std::uint8_t> buf(kRead);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        consume(buf.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
}

struct Measure {
    const char* name;
    std::function<void()> work;
    std::vector<double> seconds = {};  // one per round
    double best() const { return *std::min_element(seconds.begin(), seconds.end()); }
};

void run_interleaved(std::vector<Measure>& measures) {
    for (int round = 0; round < kRounds; ++round) {
        for (Measure& m : measures) {
            const auto t0 = std::chrono::steady_clock::now();
            m.work();
            const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
            m.seconds.push_back(dt.count());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : make_file();
    std::uint64_t size = 0;
    read_file(path, [&](const std::uint8_t*, std::size_t n) { size += n; });  // warm the cache
    const double gb = static_cast<double>(size) / 1e9;
    volatile std::uint32_t sink = 0;
    using Feed = std::function<void(const std::function<void(const std::uint8_t*, std::size_t)>&)>;

    // The cost of each computation without the reads: the file's first 64 KiB, held in cache,
    // fed as many times as the file has 64 KiB pieces.
    std::vector<std::uint8_t> piece;
    read_file(path, [&](const std::uint8_t* p, std::size_t n) {
        if (piece.empty()) piece.assign(p, p + n);
    });
    const Feed over_memory = [&](const auto& f) {
        for (std::uint64_t at = 0; at < size; at += piece.size()) f(piece.data(), piece.size());
    };
    const Feed from_file = [&](const auto& f) { read_file(path, f); };

    const auto sha_over = [&](const Feed& feed) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        feed([&](const std::uint8_t* p, std::size_t n) { EVP_DigestUpdate(ctx, p, n); });
        unsigned char md[32];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx, md, &len);
        sink = sink + md[0];
        EVP_MD_CTX_free(ctx);
    };
    const auto crc_over = [&](const Feed& feed) {
        std::uint32_t c = 0;
        feed([&](const std::uint8_t* p, std::size_t n) { c = libdeflate_crc32(c, p, n); });
        sink = sink + c;
    };
    const auto hist_over = [&](const Feed& feed) {
        vorandix::ByteHistogram h;
        feed([&](const std::uint8_t* p, std::size_t n) { h.add({p, n}); });
        sink = sink + static_cast<std::uint32_t>(h.counts()[0]);
    };
    // What the file reader does with each read.
    const auto digest_over = [&](vorandix::DigestPath which, const Feed& feed) {
        vorandix::WholeFileDigest d(which);
        feed([&](const std::uint8_t* p, std::size_t n) { d.update(p, n); });
        const auto r = d.finish();
        if (!r) std::exit(3);
        sink = sink + r->crc32 + r->sha256[0];
    };
    const auto fused = vorandix::DigestPath::Fastest, portable = vorandix::DigestPath::Portable;
    const bool has_fused = vorandix::WholeFileDigest(fused).fused();

    enum { kSha, kCrc, kHist, kFused, kPortable, kReader, kRows };
    const char* const names[kRows] = {"sha256 alone", "crc32 alone",      "histogram alone",
                                      "digest, fused", "digest, portable", "file reader"};
    std::vector<Measure> by_path = {
        {names[kSha], [&] { sha_over(from_file); }},
        {names[kCrc], [&] { crc_over(from_file); }},
        {names[kHist], [&] { hist_over(from_file); }},
        {names[kFused], [&] { digest_over(fused, from_file); }},
        {names[kPortable], [&] { digest_over(portable, from_file); }},
        {names[kReader], [&] {
             auto report = vorandix::parse_path(path);
             if (!report || report->sections.count("file") == 0) std::exit(3);
         }},
    };
    std::vector<Measure> in_cache = {
        {names[kSha], [&] { sha_over(over_memory); }},
        {names[kCrc], [&] { crc_over(over_memory); }},
        {names[kHist], [&] { hist_over(over_memory); }},
        {names[kFused], [&] { digest_over(fused, over_memory); }},
        {names[kPortable], [&] { digest_over(portable, over_memory); }},
    };
    if (!has_fused) {
        by_path.erase(by_path.begin() + kFused);
        in_cache.erase(in_cache.begin() + kFused);
    }
    run_interleaved(in_cache);
    run_interleaved(by_path);
    const auto find = [&](const std::vector<Measure>& ms, const char* name) -> const Measure* {
        for (const Measure& m : ms) {
            if (std::string(m.name) == name) return &m;
        }
        return nullptr;
    };
    // Throughput relative to the first measure, SHA-256 alone, within each round.
    const auto ratio = [](const std::vector<Measure>& ms, const Measure& m) {
        std::vector<double> r;
        for (int i = 0; i < kRounds; ++i) r.push_back(ms[0].seconds[i] / m.seconds[i]);
        std::sort(r.begin(), r.end());
        return r[r.size() / 2];
    };

    std::printf("file: %s (%.1f MiB, %d interleaved rounds, page cache warm)\n",
                path.c_str(), static_cast<double>(size) / (1 << 20), kRounds);
    std::printf("path the file reader takes: %s\n",
                has_fused ? "fused (SHA, PCLMULQDQ, SSE4.1)" : "portable (OpenSSL, libdeflate)");
    std::printf("  %-18s %12s %12s %14s %14s\n", "", "GB/s by path", "in cache",
                "/sha256 path", "/sha256 cache");
    for (const char* name : names) {
        const Measure *p = find(by_path, name), *c = find(in_cache, name);
        if (!p) {
            std::printf("  %-18s %12s\n", name, "unavailable");
            continue;
        }
        std::printf("  %-18s %12.2f", name, gb / p->best());
        if (c) {
            std::printf(" %12.2f %14.3f %14.3f\n", gb / c->best(), ratio(by_path, *p),
                        ratio(in_cache, *c));
        } else {
            std::printf(" %12s %14.3f\n", "", ratio(by_path, *p));
        }
    }
    std::printf("  targets, by path: digest, fused >= 0.9; file reader >= 0.75\n");
    return 0;
}
