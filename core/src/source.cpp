#include "vorandix/source.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace vorandix {

IoError IoError::os(int code) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(code, buf, sizeof buf);
    return {std::string(text) + " (os error " + std::to_string(code) + ")", code};
}

IoResult<std::size_t> ByteSource::read_exact(std::uint8_t* buf, std::size_t n) {
    auto got = read_up_to(buf, n);
    if (!got) return got;
    if (*got < n) return IoError::unexpected_eof();
    return got;
}

IoResult<std::size_t> ByteSource::read_up_to(std::uint8_t* buf, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        auto got = read(buf + done, n - done);
        if (!got) {
            // An interrupted call is not a failure of the input: ask again, unless the signal
            // was one to stop for.
            if (got.error().code == EINTR) {
                if (stop_ && stop_->ask()) return IoError::interrupted();
                continue;
            }
            return got;
        }
        if (*got == 0) break;
        done += *got;
    }
    return done;
}

IoResult<std::uint64_t> ByteSource::read_to_end(std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    for (;;) {
        // Grow geometrically so a large input costs few reallocations and copies.
        if (out.capacity() - out.size() < 8192)
            out.reserve(std::max<std::size_t>(out.capacity() * 2, out.size() + 8192));
        const std::size_t at = out.size();
        out.resize(out.capacity());
        auto got = read_up_to(out.data() + at, out.size() - at);
        if (!got) {
            out.resize(at);
            return got.error();
        }
        out.resize(at + *got);
        if (*got == 0) break;
    }
    return static_cast<std::uint64_t>(out.size() - start);
}

IoResult<std::size_t> MemorySource::read(std::uint8_t* buf, std::size_t n) {
    if (pos_ >= data_.size()) return std::size_t{0};
    const std::size_t avail = data_.size() - static_cast<std::size_t>(pos_);
    const std::size_t take = n < avail ? n : avail;
    if (take) std::memcpy(buf, data_.data() + pos_, take);
    pos_ += take;
    return take;
}

IoResult<std::uint64_t> MemorySource::seek(std::int64_t offset, Whence whence) {
    if (whence == Whence::Start) {
        pos_ = static_cast<std::uint64_t>(offset);
        return pos_;
    }
    const std::uint64_t base = whence == Whence::Current ? pos_ : data_.size();
    std::uint64_t target;
    if (offset >= 0) {
        if (__builtin_add_overflow(base, static_cast<std::uint64_t>(offset), &target)) {
            return IoError::invalid_seek();
        }
    } else {
        // -(offset + 1) + 1 avoids negating the most negative value.
        const std::uint64_t back = static_cast<std::uint64_t>(-(offset + 1)) + 1;
        if (back > base) return IoError::invalid_seek();
        target = base - back;
    }
    pos_ = target;
    return pos_;
}

IoResult<std::size_t> FileSource::read(std::uint8_t* buf, std::size_t n) {
    if (begin_ == end_ && n >= kBufferSize) {
        begin_ = end_ = 0;
        const ssize_t got = ::read(fd_, buf, n);
        if (got < 0) return IoError::os(errno);
        return static_cast<std::size_t>(got);
    }
    if (begin_ == end_) {
        if (buffer_.empty()) buffer_.resize(kBufferSize);
        const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got < 0) return IoError::os(errno);
        begin_ = 0;
        end_ = static_cast<std::size_t>(got);
    }
    const std::size_t take = std::min(n, end_ - begin_);
    if (take) std::memcpy(buf, buffer_.data() + begin_, take);
    begin_ += take;
    return take;
}

IoResult<std::uint64_t> FileSource::seek(std::int64_t offset, Whence whence) {
    off_t result;
    if (whence == Whence::Current) {
        // The descriptor is ahead of the logical position by what is still buffered.
        const auto remainder = static_cast<std::int64_t>(end_ - begin_);
        std::int64_t relative;
        if (!__builtin_sub_overflow(offset, remainder, &relative)) {
            result = ::lseek(fd_, relative, SEEK_CUR);
        } else {
            if (::lseek(fd_, -remainder, SEEK_CUR) < 0) return IoError::os(errno);
            begin_ = end_ = 0;
            result = ::lseek(fd_, offset, SEEK_CUR);
        }
    } else {
        result = ::lseek(fd_, offset, whence == Whence::Start ? SEEK_SET : SEEK_END);
    }
    if (result < 0) return IoError::os(errno);
    begin_ = end_ = 0;
    return static_cast<std::uint64_t>(result);
}

}  // namespace vorandix
