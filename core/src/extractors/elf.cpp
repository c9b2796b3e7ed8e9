// ELF objects: the identification from the first 20 bytes.
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::elf {

namespace {

constexpr std::size_t kIdent = 20;

constexpr Label<std::uint8_t> kAbi[] = {
    {0, "System V"}, {3, "Linux"}, {6, "Solaris"}, {9, "FreeBSD"},
};
constexpr Label<std::uint16_t> kType[] = {
    {1, "relocatable"}, {2, "executable"}, {3, "shared object"}, {4, "core dump"},
};
constexpr Label<std::uint16_t> kMachine[] = {
    {3, "x86"}, {40, "ARM"}, {62, "x86-64"}, {183, "AArch64"}, {243, "RISC-V"},
};

}  // namespace

bool applies(const ExtractContext& ctx) {
    return has_at(ctx.head, 0,
                  "\x7F"
                  "ELF");
}

ExtractResult extract(Input& in, Section section) {
    std::array<std::uint8_t, kIdent> ident;
    if (!in.read_exact(ident.data(), ident.size())) return section;
    Fields h(ident);
    h.skip(4);
    const std::uint8_t elf_class = h.u8();
    // Any EI_DATA but 1 reads as big-endian, so the label and the decoding agree.
    const bool little = h.u8() == 1;
    const std::uint8_t abi = h.skip(1).u8();
    const std::uint16_t type = h.skip(8).u16(little);
    const std::uint16_t machine = h.u16(little);
    section.insert_string("class", elf_class == 2 ? "64-bit" : "32-bit");
    section.insert_string("endianness", little ? "little" : "big");
    section.insert_string("abi", label_of(kAbi, abi, "other"));
    section.insert_string("type", label_of(kType, type, "other"));
    section.insert_string("machine", label_of(kMachine, machine, "other"));
    return section;
}

}  // namespace vorandix::extractors::elf
