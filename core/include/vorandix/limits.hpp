// What one section may collect from a file, whatever the file claims. Every limit lies far
// above what real files hold; a cut is reported in the section itself (Input::settle).
#pragma once

#include <cstddef>

namespace vorandix::limits {

// Items in any one list of a section: JPEG segments, PNG chunks, ISO base media boxes and
// brands, ZIP entries, the keys of an object filled from the file (PNG text, EXIF tags). Real
// files stay well below: a ZIP without its 64-bit extension holds at most 65,535 entries, a day
// of fragmented MP4 some tens of thousands of boxes, and a PNG needs 800 MB of the 8 KiB IDAT
// chunks libpng writes to reach it.
inline constexpr std::size_t kListItems = 100'000;

// Bytes of text (names, comments, tag values) one section takes from the file, all its texts
// together. Image generators store workflows of a few megabytes in PNG text chunks; gzip names,
// ID3 frames, PDF information strings and ZIP names are far shorter.
inline constexpr std::size_t kSectionText = std::size_t{16} << 20;

// Bytes of one EXIF block's values handed to exiv2, which copies every value it decodes: a
// single value, and all of a block's together. A large TIFF file is read only for its
// directories and these values; the 8 MiB of one value print as more text than a section
// may take, and real files keep well under both.
inline constexpr std::size_t kExifValueBytes = std::size_t{8} << 20;
inline constexpr std::size_t kExifBlockBytes = std::size_t{64} << 20;

}  // namespace vorandix::limits
