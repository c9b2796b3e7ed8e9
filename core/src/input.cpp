#include "vorandix/input.hpp"

#include <algorithm>

namespace vorandix {

namespace {
// Small reads (a segment header, a directory entry) pull in this much, so a walk over nearby
// structures costs one system call per window rather than one per structure.
constexpr std::size_t kWindow = 16384;

const ExtractContext& no_context() {
    static const ExtractContext ctx;
    return ctx;
}
}  // namespace

Input::Input(ByteSource& source, const ExtractContext& ctx, const char* label)
    : source_(source), ctx_(ctx), label_(label), memory_(source.view()) {}

Input::Input(ByteSource& source) : Input(source, no_context(), "input") {}

void Input::fail(IoError error) {
    if (!failure_) failure_ = std::move(error);
}

bool Input::taken(std::uint64_t n) {
    if (ctx_.stop && ctx_.stop->after(n)) fail(IoError::interrupted());
    return !failure_;
}

std::uint64_t Input::size() {
    if (failure_) return 0;
    if (memory_) return static_cast<std::uint64_t>(memory_->size());
    if (!size_) {
        auto end = source_.seek(0, Whence::End);
        if (!end) {
            fail(end.error());
            return 0;
        }
        size_ = *end;
    }
    return *size_;
}

ByteView Input::at(std::uint64_t offset, std::size_t n) {
    const std::uint64_t total = size();
    if (failure_ || offset >= total) return {};
    // Never ask for more than the input holds, whatever a length field claimed.
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, total - offset));
    if (!taken(n)) return {};
    if (memory_) return memory_->subspan(static_cast<std::size_t>(offset), n);

    if (window_valid_ && offset >= window_offset_ && offset - window_offset_ <= window_.size()) {
        const auto rel = static_cast<std::size_t>(offset - window_offset_);
        const std::size_t avail = window_.size() - rel;
        if (n <= avail) return ByteView(window_).subspan(rel, n);
    }
    window_valid_ = false;
    auto pos = source_.seek(static_cast<std::int64_t>(offset), Whence::Start);
    if (!pos) {
        fail(pos.error());
        return {};
    }
    window_.resize(std::max(n, kWindow));
    auto got = source_.read_up_to(window_.data(), window_.size());
    if (!got) {
        fail(got.error());
        return {};
    }
    window_.resize(*got);
    window_offset_ = offset;
    window_valid_ = true;
    return ByteView(window_).first(std::min(n, window_.size()));
}

std::size_t Input::read(std::uint8_t* buf, std::size_t n) {
    if (failure_) return 0;
    auto got = source_.read(buf, n);
    if (!got) {
        // A signal to stop for ends the pass as asked; any other interruption is the read's
        // own failure, since a pass over every byte reads once and does not ask again.
        const bool stop = got.error().code == EINTR && ctx_.stop && ctx_.stop->ask();
        fail(stop ? IoError::interrupted() : got.error());
        return 0;
    }
    return taken(*got) ? *got : 0;
}

bool Input::read_exact(std::uint8_t* buf, std::size_t n) {
    if (failure_) return false;
    auto got = source_.read_exact(buf, n);
    if (!got) {
        fail(got.error());
        return false;
    }
    return taken(n);
}

ExtractError Input::malformed(std::string_view reason) const {
    return ExtractError::malformed(label_, reason);
}

ExtractResult Input::settle(ExtractResult result) const {
    if (!failure_) return result;
    if (const auto* e = std::get_if<ExtractError>(&result);
        e && e->kind() == ExtractError::Kind::Other) {
        return result;
    }
    return ExtractError::io(*failure_);
}

}  // namespace vorandix
