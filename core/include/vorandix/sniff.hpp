// File-type sniff: the first bytes of an input mapped to a MIME type and a canonical extension.
#pragma once

#include <optional>
#include <string_view>

#include "vorandix/bytes.hpp"

namespace vorandix {

struct FileType {
    std::string_view mime_type;  // static text, for example "image/png"
    std::string_view extension;  // static text without a dot, for example "png"
};

// Tries the type table in its fixed order on `head` alone and returns the first match, or
// nothing (always nothing for an empty head). Reads only inside `head`.
std::optional<FileType> sniff(ByteView head);

}  // namespace vorandix
