// What an extractor reads through: random access to its source that keeps the first I/O error.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "vorandix/bytes.hpp"
#include "vorandix/extractor.hpp"
#include "vorandix/source.hpp"

namespace vorandix {

// Random access to a source for extractors that jump around (segments, chunks, boxes, a
// central directory). Over a memory source every view points into the caller's buffer and
// nothing is copied; over a file only the bytes asked for are read, through a small read-ahead
// window, so a multi-gigabyte file costs little more than its headers.
//
// The first I/O failure (or a stop asked for by the run's Interrupt) is kept: from then on every
// read gives nothing, so a walk ends as it ends at a truncation, and the extractor's result is
// settled once, at the end (`settle`).
//
// The input also keeps what the extractor's section collects under the core's limits
// (limits.hpp). When a list or the section's texts reach a limit, the cut is noted and reads
// give nothing from then on, as after a failure, so every walk stops there; `settle` then adds
// the section's "truncated" object: the dotted key of each field cut, with the limit that cut
// it.
class Input {
public:
    // `label` is the extractor's name, for `malformed`.
    Input(ByteSource& source, const ExtractContext& ctx, const char* label);
    // An input with an empty context, for tests and tools.
    explicit Input(ByteSource& source);

    const ExtractContext& context() const { return ctx_; }

    // The input's length as a read to its end would find it; 0 once failed.
    std::uint64_t size();

    // The bytes [offset, offset + n), cut short at the end of the input, and empty past it or
    // once failed. From a file the view is valid until the next call on this object; copy what
    // must outlive it with `fill`.
    ByteView at(std::uint64_t offset, std::size_t n);

    // Copies the bytes [offset, offset + N) into `out`, which the extractor owns; returns the
    // part of `out` filled (short at the end of the input).
    template <std::size_t N>
    ByteView fill(std::uint64_t offset, std::array<std::uint8_t, N>& out) {
        const ByteView v = at(offset, N);
        if (!v.empty()) std::memcpy(out.data(), v.data(), v.size());
        return ByteView(out.data(), v.size());
    }

    // Sequential reads from where the source stands, for passes over every byte: up to `n`
    // bytes into `buf`, 0 at the end or once failed.
    std::size_t read(std::uint8_t* buf, std::size_t n);

    // Exactly `n` bytes from where the source stands, read without a look ahead; false (and
    // failed with "failed to fill whole buffer") when the input ends first.
    bool read_exact(std::uint8_t* buf, std::size_t n);

    // The whole input in place, when it is in memory.
    std::optional<ByteView> memory() const { return memory_; }

    ByteSource& source() { return source_; }

    bool failed() const { return failure_.has_value(); }
    const std::optional<IoError>& failure() const { return failure_; }
    // Keeps `error` unless a failure is already kept.
    void fail(IoError error);

    // Whether a list holding `count` items may take one more; when not, the list `key` is cut.
    bool admit(std::string_view key, std::size_t count);

    // Bytes of text the section may still take; read no more than this for one text.
    std::size_t text_room() const;

    // `text` (UTF-8) as the section keeps it: cut on a character boundary to the room left, and
    // counted against it. A text cut here, or one whose bytes were not all read
    // (`read_whole` false), cuts the field `key`.
    std::string keep_text(std::string_view key, std::string text, bool read_whole = true);

    // Notes that the field `key` was cut at `limit`, and ends the reading.
    void cut(std::string_view key, std::uint64_t limit);
    bool was_cut() const { return !cuts_.empty(); }

    // "malformed <label>: <reason>".
    ExtractError malformed(std::string_view reason) const;

    // The extractor's outcome. Once the input has failed, the I/O error wins over a section or
    // a "malformed" verdict drawn from the cut input; an error of kind Other is the
    // extractor's own (a library's message) and stands. A section gets its "truncated" object.
    ExtractResult settle(ExtractResult result);

private:
    // Counts bytes taken for the run's stop check; false (and failed) when the run must stop.
    bool taken(std::uint64_t n);

    ByteSource& source_;
    const ExtractContext& ctx_;
    const char* label_;
    std::optional<ByteView> memory_;
    std::optional<std::uint64_t> size_;
    std::vector<std::uint8_t> window_;
    std::uint64_t window_offset_ = 0;
    bool window_valid_ = false;
    std::optional<IoError> failure_;
    MetaObject cuts_;
    std::size_t text_used_ = 0;
};

}  // namespace vorandix
