// The engine's entry points: one run over a source, and a run over a file named by a path.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "vorandix/extractor.hpp"
#include "vorandix/source.hpp"
#include "vorandix/value.hpp"

namespace vorandix {

// The extractors in their fixed running order, which is also the order of error records.
std::span<const Extractor* const> registry();

// Reads the head, sniffs it, offers the input to every reader in registry order and assembles
// the report. Never fails: problems become error records. `total_len` is the input's length as
// the caller knows it (it is reported, never measured).
Report run_extractors(ByteSource& source, std::uint64_t total_len,
                      const RunOptions& options = {});

// Same, with an explicit list of readers; for tests.
Report run_extractors(ByteSource& source, std::uint64_t total_len,
                      std::span<const Extractor* const> extractors,
                      const RunOptions& options = {});

// What the file system says of an open file.
struct FileFacts {
    std::uint64_t size = 0;
    std::optional<std::int64_t> modified_seconds;  // floored seconds since the epoch
    std::optional<std::int64_t> created_seconds;   // only where the file system records it
    // The size is the content's: a regular file on a file system that stores it. Pipes,
    // devices and the files of /proc or /sys report sizes that reading does not find.
    bool size_is_content = true;
};

// Runs the extractors over an open file and adds its path facts ("name", "extension_claimed",
// "modified_unix", "created_unix") to the "file" section, creating it if the reader failed.
Report run_on_file(ByteSource& source, const std::string& path, const FileFacts& facts,
                   const RunOptions& options = {});

// Opens the file at `path` (the file system's bytes), runs the readers over it and adds the
// path facts to the "file" section. Fails only when the file cannot be opened or examined.
IoResult<Report> parse_path(const std::string& path, const RunOptions& options = {});

// The final file-name component of `path` ("" for none: a root, "." or a name ending in ".."),
// and what follows its last dot when the name has a dot that is not its first character.
std::string path_file_name(const std::string& path);
std::optional<std::string> file_name_extension(const std::string& name);

}  // namespace vorandix
