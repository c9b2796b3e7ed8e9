#include "vorandix/input.hpp"

#include <algorithm>

#include "vorandix/limits.hpp"

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
    if (failure_ || was_cut()) return 0;
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
    if (failure_ || was_cut() || offset >= total) return {};
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
    if (failure_ || was_cut()) return 0;
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

bool Input::admit(std::string_view key, std::size_t count) {
    if (count < limits::kListItems) return true;
    cut(key, limits::kListItems);
    return false;
}

std::size_t Input::text_room() const { return limits::kSectionText - text_used_; }

std::string Input::keep_text(std::string_view key, std::string text, bool read_whole) {
    const std::size_t room = text_room();
    if (text.size() > room) {
        text.resize(utf8_prefix(text, room));
        read_whole = false;
    }
    text_used_ += text.size();
    if (!read_whole) cut(key, limits::kSectionText);
    return text;
}

void Input::cut(std::string_view key, std::uint64_t limit) {
    cuts_.insert_u64(std::string(key), limit);
}

ExtractError Input::malformed(std::string_view reason) const {
    return ExtractError::malformed(label_, reason);
}

ExtractResult Input::settle(ExtractResult result) {
    if (failure_) {
        if (const auto* e = std::get_if<ExtractError>(&result);
            e && e->kind() == ExtractError::Kind::Other) {
            return result;
        }
        return ExtractError::io(*failure_);
    }
    if (auto* section = std::get_if<Section>(&result); section && was_cut()) {
        section->insert_object("truncated", std::move(cuts_));
        cuts_ = MetaObject();
    }
    return result;
}

}  // namespace vorandix
