// The interface every format extractor implements, what it is handed, and how it fails.
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

// How a caller outside the module's two entry points may shape a run. The defaults are the
// module's behaviour.
struct RunOptions {
    // False leaves out the whole-file pass: the "file" section keeps the size and the sniffed
    // type, without digests or entropy, and the input is not read to its end for it.
    bool whole_file_pass = true;
    // Asked every few megabytes of reading and whenever a read is interrupted; may be null.
    Interrupt* interrupt = nullptr;
    // The length given to the run is what reading the input finds. The whole-file pass then
    // reports reading any other number of bytes (a file that changed while it was read) as an
    // error. run_on_file sets it for files whose size is their content's.
    bool length_is_content = false;
};

// Built once per run and shared by every extractor.
struct ExtractContext {
    ByteView head;                       // the first bytes of the input, at most 8192
    std::optional<std::string_view> mime_type;  // from the sniff of `head`
    std::optional<std::string_view> extension;  // present exactly when mime_type is
    std::uint64_t total_len = 0;         // the input's length as the caller knows it
    RunOptions options;
    StopCheck* stop = nullptr;           // the run's, when it has an Interrupt
};

// An extractor's failure. Its message is what the report's error record shows.
class ExtractError {
public:
    enum class Kind { Io, Malformed, Other };

    static ExtractError io(IoError e) { return {Kind::Io, "I/O error: " + e.message}; }
    // "malformed <label>: <reason>", where the label is the extractor's name.
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

// A stateless format extractor. `applies` decides from the context alone; `extract` reads the
// source, which the run loop has rewound to offset 0. A section with no fields means "found
// nothing" and leaves no trace in the report.
class Extractor {
public:
    virtual ~Extractor() = default;
    virtual const char* name() const = 0;
    virtual bool applies(const ExtractContext& ctx) const = 0;
    virtual ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const = 0;
};

}  // namespace vorandix
