// Helpers shared by the core tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "vorandix/bytes.hpp"
#include "vorandix/source.hpp"

namespace vorandix::testing {

inline std::vector<std::uint8_t> bytes_of(std::string_view s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

// A memory source that fails every read after `fail_after` bytes have been delivered, and
// every seek when asked to.
class FailingSource final : public ByteSource {
public:
    FailingSource(std::vector<std::uint8_t> data, std::size_t fail_after, bool fail_seeks = false)
        : data_(std::move(data)), inner_(ByteView(data_)), fail_after_(fail_after),
          fail_seeks_(fail_seeks) {}

    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
        if (delivered_ >= fail_after_) return IoError::os(5);  // EIO
        n = std::min(n, fail_after_ - delivered_);
        auto got = inner_.read(buf, n);
        if (got) delivered_ += *got;
        return got;
    }
    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override {
        if (fail_seeks_) return IoError::os(29);  // ESPIPE
        return inner_.seek(offset, whence);
    }

private:
    std::vector<std::uint8_t> data_;
    MemorySource inner_;
    std::size_t fail_after_;
    bool fail_seeks_;
    std::size_t delivered_ = 0;
};

// A file-like source (no in-memory view) of any size: `fill` everywhere except where bytes were
// put, so multi-gigabyte inputs cost nothing. A forbidden stretch fails to read, as a file with
// an unreadable middle would, and reads stop short at its edge. It records the largest single
// request and the bytes it delivered, for tests that readers touch only what they need.
class SparseSource final : public ByteSource {
public:
    explicit SparseSource(std::uint64_t size, std::uint8_t fill = 0) : size_(size), fill_(fill) {}

    void put(std::uint64_t offset, std::vector<std::uint8_t> bytes) {
        pieces_[offset] = std::move(bytes);
    }
    void put(std::uint64_t offset, std::string_view bytes) {
        put(offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    void forbid(std::uint64_t from, std::uint64_t to) { forbid_from_ = from, forbid_to_ = to; }

    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
        largest_read = std::max(largest_read, n);
        if (pos_ >= forbid_from_ && pos_ < forbid_to_) return IoError::os(5);  // EIO
        if (pos_ >= size_) return std::size_t{0};
        std::uint64_t stop = pos_ + std::min<std::uint64_t>(n, size_ - pos_);
        if (pos_ < forbid_from_) stop = std::min(stop, forbid_from_);
        const auto take = static_cast<std::size_t>(stop - pos_);
        std::memset(buf, fill_, take);
        for (const auto& [at, bytes] : pieces_) {
            // The part of each piece that overlaps [pos_, stop).
            const std::uint64_t from = std::max(at, pos_);
            const std::uint64_t to = std::min<std::uint64_t>(at + bytes.size(), stop);
            if (from < to) std::memcpy(buf + (from - pos_), bytes.data() + (from - at), to - from);
        }
        pos_ = stop;
        delivered += take;
        return take;
    }

    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override {
        const std::uint64_t base = whence == Whence::Start ? 0
                                   : whence == Whence::End ? size_
                                                           : pos_;
        pos_ = base + static_cast<std::uint64_t>(offset);
        return pos_;
    }

    std::size_t largest_read = 0;
    std::uint64_t delivered = 0;

private:
    std::uint64_t size_;
    std::uint8_t fill_;
    std::uint64_t forbid_from_ = 0, forbid_to_ = 0;
    std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;
    std::uint64_t pos_ = 0;
};

}  // namespace vorandix::testing
