// The interface every format reader implements, what it is handed, and how it fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "vorandix/bytes.hpp"
#include "vorandix/source.hpp"
#include "vorandix/value.hpp"

namespace vorandix {

// Asked during long reads whether the call should stop, for example because a signal arrived.
class Interrupt {
public:
    virtual ~Interrupt() = default;
    // True stops the call: reads from then on fail, and the run ends after the current reader.
    virtual bool requested() = 0;
};

// How a caller outside the contract's two entry points may shape a run. The defaults are the
// contract's behaviour.
struct RunOptions {
    // False leaves out the whole-file pass: the "file" section keeps the size and the sniffed
    // type, without digests or entropy, and the input is not read to its end for it.
    bool whole_file_pass = true;
    // Polled every few megabytes of reading and whenever a read is interrupted; may be null.
    Interrupt* interrupt = nullptr;
};

// Built once per run and shared by every reader.
struct ExtractContext {
    ByteView head;                       // the first bytes of the input, at most 8192
    std::optional<std::string_view> mime_type;  // from the sniff of `head`
    std::optional<std::string_view> extension;  // present exactly when mime_type is
    std::uint64_t total_len = 0;         // the input's length as the caller knows it
    RunOptions options;
};

// A reader's failure. Its message is what the report's error record shows.
class ExtractError {
public:
    enum class Kind { Io, Malformed, Other };

    static ExtractError io(IoError e) { return {Kind::Io, "I/O error: " + e.message}; }
    // "malformed <label>: <reason>", where the label is the reader's name.
    static ExtractError malformed(std::string_view label, std::string_view reason) {
        return {Kind::Malformed,
                "malformed " + std::string(label) + ": " + std::string(reason)};
    }
    static ExtractError other(std::string message) { return {Kind::Other, std::move(message)}; }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

private:
    ExtractError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}
    Kind kind_;
    std::string message_;
};

using ExtractResult = std::variant<Section, ExtractError>;

// A stateless format reader. `applies` decides from the context alone; `extract` reads the
// source, which the run loop has rewound to offset 0. A section with no fields means "found
// nothing" and leaves no trace in the report.
class Extractor {
public:
    virtual ~Extractor() = default;
    virtual const char* name() const = 0;
    virtual bool applies(const ExtractContext& ctx) const = 0;
    virtual ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const = 0;
};

// Random access to a source for readers that jump around (segments, chunks, boxes, a central
// directory). Over a memory source every view points into the caller's buffer and nothing is
// copied; over a file only the bytes asked for are read, through a small read-ahead window, so
// a multi-gigabyte file costs little more than its headers.
class RandomAccess {
public:
    explicit RandomAccess(ByteSource& source);

    // The input's length as a read to its end would find it.
    IoResult<std::uint64_t> size();

    // The bytes [offset, offset + n), cut short at the end of the input (empty past it). The
    // view is valid until the next call on this object.
    IoResult<ByteView> at(std::uint64_t offset, std::size_t n);

    // The whole input: the caller's buffer itself, or the file read into memory.
    IoResult<ByteView> whole();

private:
    ByteSource& source_;
    std::optional<ByteView> memory_;
    std::optional<std::uint64_t> size_;
    std::vector<std::uint8_t> window_;
    std::uint64_t window_offset_ = 0;
    bool window_valid_ = false;
};

}  // namespace vorandix
