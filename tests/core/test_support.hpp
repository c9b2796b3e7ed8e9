// Helpers shared by the core tests.
#pragma once

#include <cstdint>
#include <string>
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

}  // namespace vorandix::testing
