// Compound files (OLE2 structured storage), as far as the sniff needs them.
#pragma once

#include <cstdint>

#include "vorandix/bytes.hpp"

namespace vorandix {

enum class Office : std::uint8_t { none, word, excel, powerpoint };

// The Office application whose root CLSID a well-formed compound file carries, or none. `head`
// is validated as if it were the whole file, so only small files, or ones whose sectors past
// the head are all free, get as far as their root CLSID; anything else is none.
Office compound_file_office(ByteView head);

}  // namespace vorandix
