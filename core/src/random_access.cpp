#include <algorithm>

#include "vorandix/extractor.hpp"

namespace vorandix {

namespace {
// Small reads (a segment header, a directory entry) pull in this much, so a walk over nearby
// structures costs one system call per window rather than one per structure.
constexpr std::size_t kWindow = 16384;
}  // namespace

RandomAccess::RandomAccess(ByteSource& source) : source_(source), memory_(source.view()) {}

IoResult<std::uint64_t> RandomAccess::size() {
    if (memory_) return static_cast<std::uint64_t>(memory_->size());
    if (!size_) {
        auto end = source_.seek(0, Whence::End);
        if (!end) return end.error();
        size_ = *end;
    }
    return *size_;
}

IoResult<ByteView> RandomAccess::at(std::uint64_t offset, std::size_t n) {
    auto total = size();
    if (!total) return total.error();
    if (offset >= *total) return ByteView();
    // Never ask for more than the input holds, whatever a length field claimed.
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *total - offset));
    if (memory_) return memory_->subspan(static_cast<std::size_t>(offset), n);

    if (window_valid_ && offset >= window_offset_ && offset - window_offset_ <= window_.size()) {
        const auto rel = static_cast<std::size_t>(offset - window_offset_);
        const std::size_t avail = window_.size() - rel;
        if (n <= avail) return ByteView(window_).subspan(rel, n);
    }
    window_valid_ = false;
    auto pos = source_.seek(static_cast<std::int64_t>(offset), Whence::Start);
    if (!pos) return pos.error();
    window_.resize(std::max(n, kWindow));
    auto got = source_.read_up_to(window_.data(), window_.size());
    if (!got) return got.error();
    window_.resize(*got);
    window_offset_ = offset;
    window_valid_ = true;
    return ByteView(window_).first(std::min(n, window_.size()));
}

IoResult<ByteView> RandomAccess::whole() {
    if (memory_) return *memory_;
    window_valid_ = false;
    window_.clear();
    // The size known now is a hint: one allocation for the usual case, and reading on copes
    // with a file that has grown since.
    if (auto total = size()) window_.reserve(static_cast<std::size_t>(*total) + 1);
    auto pos = source_.seek(0, Whence::Start);
    if (!pos) return pos.error();
    auto got = source_.read_to_end(window_);
    if (!got) return got.error();
    window_offset_ = 0;
    window_valid_ = true;
    return ByteView(window_);
}

}  // namespace vorandix
