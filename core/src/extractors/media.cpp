// ISO base media files (ISO/IEC 14496-12): the top-level boxes, the file-type brands and the
// movie duration from `mvhd`. And ELF objects: the identification from the first 20 bytes.
#include <array>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

// The walk enters `moov` boxes down to this many levels below the top; a `moov` found at the
// deepest level is taken as an ordinary box. Real files put no `moov` inside another, while a
// hostile file pays only 8 bytes per level, so the ranges being walked fit in a fixed array.
constexpr std::size_t kMaxMoovDepth = 64;

// Brands are read in pieces this big, so a huge `ftyp` box is never held whole.
constexpr std::size_t kBrandPiece = 16384;

struct Box {
    std::uint64_t start;
    std::uint64_t size;  // header included
    std::size_t header;  // 8, or 16 with a 64-bit size
    std::string type;
    std::uint64_t payload() const { return start + header; }
    std::uint64_t payload_size() const { return size - header; }
};

// A range of the input being walked; `p` is the next box header.
struct Range {
    std::uint64_t p;
    std::uint64_t end;
};

// The box at r.p, or nothing when the range ends there: a header cut short, a size smaller
// than its header, or a box running past the range all end the walk of that range.
IoResult<std::optional<Box>> next_box(RandomAccess& input, const Range& r) {
    if (r.end - r.p < 8) return std::optional<Box>();
    auto got = input.at(r.p, 16);
    if (!got) return got.error();
    if (got->size() < 8) return std::optional<Box>();  // the input shrank under us
    const std::uint8_t* h = got->data();
    Box box{r.p, load_u32be(h), 8, utf8_lossy(got->subspan(4, 4))};
    if (box.size == 0) {
        box.size = r.end - r.p;
    } else if (box.size == 1) {
        if (r.end - r.p < 16 || got->size() < 16) return std::optional<Box>();
        box.size = load_u64be(h + 8);
        box.header = 16;
        if (box.size < 16) return std::optional<Box>();
    } else if (box.size < 8) {
        return std::optional<Box>();
    }
    if (box.size > r.end - r.p) return std::optional<Box>();
    return std::optional<Box>(std::move(box));
}

std::optional<ExtractError> read_ftyp(RandomAccess& input, const Box& box, Section& section) {
    const std::uint64_t n = box.payload_size();
    if (n < 4) return std::nullopt;
    auto got = input.at(box.payload(), 8);
    if (!got) return ExtractError::io(got.error());
    if (got->size() < 4) return std::nullopt;
    section.insert_string("major_brand", utf8_lossy(got->first(4)));
    if (n < 8 || got->size() < 8) return std::nullopt;
    section.insert_u64("minor_version", load_u32be(got->data() + 4));

    MetaList brands;
    const std::uint64_t whole = (n - 8) / 4 * 4;  // a final piece under 4 bytes is ignored
    for (std::uint64_t done = 0; done < whole;) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(whole - done, kBrandPiece));
        auto piece = input.at(box.payload() + 8 + done, want);
        if (!piece) return ExtractError::io(piece.error());
        for (std::size_t i = 0; i + 4 <= piece->size(); i += 4) {
            brands.push_back(MetaValue::string(utf8_lossy(piece->subspan(i, 4))));
        }
        if (piece->size() < want) break;  // the input shrank under us
        done += want;
    }
    if (!brands.empty()) section.insert_list("compatible_brands", std::move(brands));
    return std::nullopt;
}

std::optional<ExtractError> read_mvhd(RandomAccess& input, const Box& box, Section& section) {
    const std::uint64_t n = box.payload_size();
    if (n < 20) return std::nullopt;
    auto got = input.at(box.payload(), 32);
    if (!got) return ExtractError::io(got.error());
    if (got->size() < 20) return std::nullopt;
    const std::uint8_t* p = got->data();
    // Version 1 widens the times and the duration to 64 bits; a version-1 box too short for
    // that layout is read with the version-0 one.
    const bool wide = p[0] == 1 && n >= 32 && got->size() >= 32;
    const std::uint32_t timescale = load_u32be(p + (wide ? 20 : 12));
    const std::uint64_t duration = wide ? load_u64be(p + 24) : load_u32be(p + 16);
    section.insert_u64("timescale", timescale);
    section.insert_u64("duration_units", duration);
    if (timescale != 0) {
        section.insert("duration_seconds",
                       MetaValue::floating(round3(static_cast<double>(duration) / timescale)));
    }
    return std::nullopt;
}

class Mp4Extractor final : public Extractor {
public:
    const char* name() const override { return "mp4"; }

    bool applies(const ExtractContext& ctx) const override { return has_at(ctx.head, 4, "ftyp"); }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto len = input.size();
        if (!len) return ExtractError::io(len.error());

        Section section(name());
        MetaList top_level;
        // Ranges being walked, outermost first: the whole input, then each `moov` entered.
        std::array<Range, kMaxMoovDepth + 1> ranges;
        std::size_t depth = 0;
        ranges[0] = {0, *len};
        for (;;) {
            Range& range = ranges[depth];
            auto next = next_box(input, range);
            if (!next) return ExtractError::io(next.error());
            if (!*next) {
                if (depth == 0) break;
                --depth;  // the enclosing range goes on after this `moov`
                continue;
            }
            const Box& box = **next;
            range.p += box.size;
            if (depth == 0) {
                MetaObject entry;
                entry.insert_str("type", box.type);
                entry.insert_u64("size", box.size);
                top_level.push_back(MetaValue::object(std::move(entry)));
            }
            std::optional<ExtractError> err;
            if (box.type == "ftyp") {
                err = read_ftyp(input, box, section);
            } else if (box.type == "mvhd") {
                err = read_mvhd(input, box, section);
            } else if (box.type == "moov" && depth < kMaxMoovDepth) {
                ranges[++depth] = {box.payload(), box.start + box.size};
            }
            if (err) return std::move(*err);
        }
        section.insert_list("top_level_boxes", std::move(top_level));
        return section;
    }
};

constexpr std::size_t kElfIdent = 20;

const char* elf_abi(std::uint8_t v) {
    switch (v) {
        case 0:
            return "System V";
        case 3:
            return "Linux";
        case 6:
            return "Solaris";
        case 9:
            return "FreeBSD";
        default:
            return "other";
    }
}

const char* elf_type(std::uint16_t v) {
    switch (v) {
        case 1:
            return "relocatable";
        case 2:
            return "executable";
        case 3:
            return "shared object";
        case 4:
            return "core dump";
        default:
            return "other";
    }
}

const char* elf_machine(std::uint16_t v) {
    switch (v) {
        case 3:
            return "x86";
        case 40:
            return "ARM";
        case 62:
            return "x86-64";
        case 183:
            return "AArch64";
        case 243:
            return "RISC-V";
        default:
            return "other";
    }
}

class ElfExtractor final : public Extractor {
public:
    const char* name() const override { return "elf"; }

    bool applies(const ExtractContext& ctx) const override {
        return has_at(ctx.head, 0,
                      "\x7F"
                      "ELF");
    }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        std::array<std::uint8_t, kElfIdent> h;
        if (auto got = source.read_exact(h.data(), h.size()); !got) {
            return ExtractError::io(got.error());
        }
        // Any EI_DATA but 1 reads as big-endian, so the label and the decoding agree.
        const bool little = h[5] == 1;
        const std::uint16_t type = little ? load_u16le(&h[16]) : load_u16be(&h[16]);
        const std::uint16_t machine = little ? load_u16le(&h[18]) : load_u16be(&h[18]);
        Section section(name());
        section.insert_str("class", h[4] == 2 ? "64-bit" : "32-bit");
        section.insert_str("endianness", little ? "little" : "big");
        section.insert_str("abi", elf_abi(h[7]));
        section.insert_str("type", elf_type(type));
        section.insert_str("machine", elf_machine(machine));
        return section;
    }
};

}  // namespace

const Extractor& mp4_extractor() {
    static const Mp4Extractor reader;
    return reader;
}

const Extractor& elf_extractor() {
    static const ElfExtractor reader;
    return reader;
}

}  // namespace vorandix
