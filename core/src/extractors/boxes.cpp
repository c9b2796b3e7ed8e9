#include "extractors/boxes.hpp"

#include <cstring>

namespace vorandix::extractors {

std::optional<Box> next_box(Input& in, std::uint64_t pos, std::uint64_t end, ZeroSize zero) {
    if (pos > end || end - pos < 8) return std::nullopt;
    std::array<std::uint8_t, 16> header;
    const ByteView h = in.fill(pos, header);
    if (h.size() < 8) return std::nullopt;  // the input ended early
    Fields f(h);
    Box box;
    box.start = pos;
    box.size = f.u32be();
    std::memcpy(box.type.data(), f.bytes(4).data(), 4);
    if (box.size == 0 && zero == ZeroSize::ToEnd) {
        box.size = end - pos;
    } else if (box.size == 1) {
        if (end - pos < 16 || h.size() < 16) return std::nullopt;
        box.size = f.u64be();
        box.header = 16;
    }
    if (box.size < box.header || box.size > end - pos) return std::nullopt;
    return box;
}

}  // namespace vorandix::extractors
