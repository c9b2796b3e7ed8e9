// The readable, seekable input every reader works from: a view of a caller's buffer, or an
// open file read through a small buffer.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "vorandix/bytes.hpp"

namespace vorandix {

// An I/O failure. `message` is what the report shows after "I/O error: ".
struct IoError {
    std::string message;
    int code = 0;  // the operating system's error number, 0 for the engine's own errors

    // The operating system's description of `code` followed by " (os error N)".
    static IoError os(int code);
    static IoError unexpected_eof() { return {"failed to fill whole buffer", 0}; }
    static IoError invalid_seek() {
        return {"invalid seek to a negative or overflowing position", 0};
    }
    // A read given up because the run was asked to stop.
    static IoError interrupted() { return {"interrupted", EINTR}; }
};

// Asked during long reads whether the call should stop, for example because a signal arrived.
class Interrupt {
public:
    virtual ~Interrupt() = default;
    // True stops the call: reads from then on fail, and the run ends after the current extractor.
    virtual bool requested() = 0;
};

// A run's use of its Interrupt: asked after every few megabytes taken from the input, and at
// once after a read interrupted by a signal. Once it has said stop, it keeps saying so.
class StopCheck {
public:
    static constexpr std::uint64_t kEvery = std::uint64_t{4} << 20;

    explicit StopCheck(Interrupt* interrupt = nullptr) : interrupt_(interrupt) {}

    // Counts `n` more bytes taken from the input; true when the run must stop.
    bool after(std::uint64_t n) {
        if (stopped_ || interrupt_ == nullptr) return stopped_;
        since_ += n;
        if (since_ < kEvery) return false;
        since_ = 0;
        return ask();
    }
    bool ask() {
        if (!stopped_ && interrupt_ != nullptr && interrupt_->requested()) stopped_ = true;
        return stopped_;
    }
    bool stopped() const { return stopped_; }

private:
    Interrupt* interrupt_;
    std::uint64_t since_ = 0;
    bool stopped_ = false;
};

// A value or an IoError.
template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    T* operator->() { return &value(); }
    const IoError& error() const { return std::get<1>(v_); }
    IoError& error() { return std::get<1>(v_); }

private:
    std::variant<T, IoError> v_;
};

enum class Whence { Start, Current, End };

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Copies up to `n` bytes at the current position into `buf` and advances; 0 means the end.
    virtual IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) = 0;

    // Moves to `offset` from the start (taken as unsigned), the current position or the end.
    // A position beyond the end is allowed; one below zero fails.
    virtual IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) = 0;

    // The whole input in place, when it is already in memory; nothing for a file.
    virtual std::optional<ByteView> view() const { return std::nullopt; }

    // Fills exactly `n` bytes or fails with "failed to fill whole buffer".
    IoResult<std::size_t> read_exact(std::uint8_t* buf, std::size_t n);

    // Appends every remaining byte to `out`; returns the count appended.
    IoResult<std::uint64_t> read_to_end(std::vector<std::uint8_t>& out);

    // Reads until `n` bytes or the end, whichever comes first; returns the count. A read
    // interrupted by a signal is asked again, unless the stop check then says stop.
    IoResult<std::size_t> read_up_to(std::uint8_t* buf, std::size_t n);

    // The run's stop check, consulted when a read is interrupted; may be null.
    void set_stop(StopCheck* stop) { stop_ = stop; }

private:
    StopCheck* stop_ = nullptr;
};

// A cursor over a borrowed buffer, which must outlive the source. Nothing is copied.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(ByteView data) : data_(data) {}

    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override;
    std::optional<ByteView> view() const override { return data_; }

private:
    ByteView data_;
    std::uint64_t pos_ = 0;
};

// An open file descriptor (borrowed, not closed) read through an 8192-byte buffer. Requests
// of at least the buffer's size, made while it is empty, go straight to the descriptor.
class FileSource final : public ByteSource {
public:
    static constexpr std::size_t kBufferSize = 8192;

    explicit FileSource(int fd) : fd_(fd) {}

    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override;

private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;  // next unread byte in buffer_
    std::size_t end_ = 0;    // bytes filled in buffer_
};

}  // namespace vorandix
