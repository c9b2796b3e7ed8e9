// ISO base media boxes (ISO/IEC 14496-12, 4.2): the one header parse that the mp4 extractor and
// the HEIF walks of the exif extractor share.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "vorandix/input.hpp"

namespace vorandix::extractors {

struct Box {
    std::uint64_t start = 0;
    std::uint64_t size = 0;    // header included
    std::uint32_t header = 8;  // 8, or 16 with a 64-bit size
    std::array<std::uint8_t, 4> type{};

    std::uint64_t payload() const { return start + header; }
    std::uint64_t payload_size() const { return size - header; }
    std::uint64_t end() const { return start + size; }
    // Compares the type's bytes, so a type with a byte above 0x7F never matches a known code.
    bool is(std::string_view code) const { return has_at(ByteView(type), 0, code) && code.size() == 4; }
    ByteView type_bytes() const { return ByteView(type); }
};

// How a size field of 0 is read: the box runs to the end of the range (ISO/IEC 14496-12), or
// it is no box (the way exiv2 reads HEIF files, whose walk the exif checks follow).
enum class ZeroSize { ToEnd, Invalid };

// The box at `pos` inside the range [pos, end), or nothing when the range ends there: a header
// cut short, a size smaller than its header, or a box running past the range.
std::optional<Box> next_box(Input& in, std::uint64_t pos, std::uint64_t end,
                            ZeroSize zero = ZeroSize::ToEnd);

}  // namespace vorandix::extractors
