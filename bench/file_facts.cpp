// Throughput of the whole-file facts against their parts, over the same file in one run.
//
//   bench_file_facts [PATH]   (default: a 256 MiB file of random bytes made in /tmp)
//
// Each part is measured twice: reading the file the way the "file" reader does (64 KiB reads
// from the page cache), and over the same bytes already in memory (the computation alone).
// Every figure is the best of several rounds. SHA-256 by path is the floor: the ratio of the
// whole reader, parse_path, to it is the figure to watch (target: at least 0.75).
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
constexpr int kRounds = 5;

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

double best_seconds(const std::function<void()>& work) {
    double best = 1e30;
    for (int i = 0; i < kRounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : make_file();
    std::uint64_t size = 0;
    read_file(path, [&](const std::uint8_t*, std::size_t n) { size += n; });  // warm the cache
    const double gb = static_cast<double>(size) / 1e9;
    volatile std::uint32_t sink = 0;

    // The cost of each computation without the reads: the file's first 64 KiB, held in cache,
    // fed as many times as the file has 64 KiB pieces.
    std::vector<std::uint8_t> piece;
    read_file(path, [&](const std::uint8_t* p, std::size_t n) {
        if (piece.empty()) piece.assign(p, p + n);
    });
    const auto over_memory = [&](const std::function<void(const std::uint8_t*, std::size_t)>& f) {
        for (std::uint64_t at = 0; at < size; at += piece.size()) f(piece.data(), piece.size());
    };
    const auto sha_over = [&](const auto& feed) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        feed([&](const std::uint8_t* p, std::size_t n) { EVP_DigestUpdate(ctx, p, n); });
        unsigned char md[32];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx, md, &len);
        sink = sink + md[0];
        EVP_MD_CTX_free(ctx);
    };
    const auto crc_over = [&](const auto& feed) {
        std::uint32_t c = 0;
        feed([&](const std::uint8_t* p, std::size_t n) { c = libdeflate_crc32(c, p, n); });
        sink = sink + c;
    };
    const auto hist_over = [&](const auto& feed) {
        vorandix::ByteHistogram h;
        feed([&](const std::uint8_t* p, std::size_t n) { h.add({p, n}); });
        sink = sink + static_cast<std::uint32_t>(h.counts()[0]);
    };
    const auto from_file = [&](const std::function<void(const std::uint8_t*, std::size_t)>& f) {
        read_file(path, f);
    };
    const double sha_mem = best_seconds([&] { sha_over(over_memory); });
    const double crc_mem = best_seconds([&] { crc_over(over_memory); });
    const double hist_mem = best_seconds([&] { hist_over(over_memory); });
    const double whole_mem = best_seconds([&] {
        // The file reader's own loop: CRC-32 per piece, digest and counts per 64-byte block.
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        vorandix::ByteHistogram h;
        std::uint32_t c = 0;
        over_memory([&](const std::uint8_t* p, std::size_t n) {
            c = libdeflate_crc32(c, p, n);
            vorandix::digest_and_count(ctx, h, p, n);
        });
        sink = sink + c + static_cast<std::uint32_t>(h.counts()[1]);
        EVP_MD_CTX_free(ctx);
    });

    const double sha = best_seconds([&] {
        sha_over(from_file);
    });
    const double crc = best_seconds([&] { crc_over(from_file); });
    const double hist = best_seconds([&] { hist_over(from_file); });
    const double whole = best_seconds([&] {
        auto report = vorandix::parse_path(path);
        if (!report || report->sections.count("file") == 0) std::exit(3);
    });

    std::printf("file: %s (%.1f MiB, best of %d rounds, page cache warm)\n", path.c_str(),
                static_cast<double>(size) / (1 << 20), kRounds);
    std::printf("  %-18s %12s %12s\n", "GB/s", "by path", "in cache");
    std::printf("  %-18s %12.2f %12.2f\n", "sha256 alone", gb / sha, gb / sha_mem);
    std::printf("  %-18s %12.2f %12.2f\n", "crc32 alone", gb / crc, gb / crc_mem);
    std::printf("  %-18s %12.2f %12.2f\n", "histogram alone", gb / hist, gb / hist_mem);
    std::printf("  %-18s %12.2f %12.2f\n", "file reader", gb / whole, gb / whole_mem);
    std::printf("  file reader / sha256 alone, by path: %.3f (target >= 0.75)\n", sha / whole);
    std::printf("  file reader / sha256 alone, in cache: %.3f\n", sha_mem / whole_mem);
    return 0;
}
