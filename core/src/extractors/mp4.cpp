// ISO base media files (ISO/IEC 14496-12): the top-level boxes, the file-type brands and the
// movie duration from `mvhd`.
#include "extractors/boxes.hpp"
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::mp4 {

namespace {

// The walk enters `moov` boxes down to this many levels below the top; a `moov` found at the
// deepest level is taken as an ordinary box. Real files put no `moov` inside another, while a
// hostile file pays only 8 bytes per level, so the ranges being walked fit in a fixed array.
constexpr std::size_t kMaxMoovDepth = 64;

// Brands are read in pieces this big, so a huge `ftyp` box is never held whole.
constexpr std::size_t kBrandPiece = 16384;

void read_ftyp(Input& in, const Box& box, Section& section) {
    const std::uint64_t n = box.payload_size();
    if (n < 4) return;
    Fields f(in.at(box.payload(), 8));
    if (f.left() < 4) return;
    section.insert_string("major_brand", utf8_lossy(f.bytes(4)));
    if (n < 8 || f.left() < 4) return;
    section.insert_u64("minor_version", f.u32be());

    MetaList brands;
    const std::uint64_t whole = (n - 8) / 4 * 4;  // a final piece under 4 bytes is ignored
    for (std::uint64_t done = 0; done < whole;) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(whole - done, kBrandPiece));
        const ByteView piece = in.at(box.payload() + 8 + done, want);
        for (std::size_t i = 0; i + 4 <= piece.size(); i += 4) {
            if (!in.admit("compatible_brands", brands.size())) break;
            brands.push_back(MetaValue::string(utf8_lossy(piece.subspan(i, 4))));
        }
        if (piece.size() < want || in.was_cut()) break;  // the input ended early, or a limit
        done += want;
    }
    if (!brands.empty()) section.insert_list("compatible_brands", std::move(brands));
}

void read_mvhd(Input& in, const Box& box, Section& section) {
    const std::uint64_t n = box.payload_size();
    if (n < 20) return;
    const ByteView p = in.at(box.payload(), 32);
    if (p.size() < 20) return;
    // Version 1 widens the times and the duration to 64 bits; a version-1 box too short for
    // that layout is read with the version-0 one.
    const bool wide = p[0] == 1 && n >= 32 && p.size() >= 32;
    Fields f(p);
    f.skip(wide ? 20 : 12);
    const std::uint32_t timescale = f.u32be();
    const std::uint64_t duration = wide ? f.u64be() : f.u32be();
    section.insert_u64("timescale", timescale);
    section.insert_u64("duration_units", duration);
    if (timescale != 0) {
        section.insert("duration_seconds",
                       MetaValue::floating(round3(static_cast<double>(duration) / timescale)));
    }
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 4, "ftyp"); }

ExtractResult extract(Input& in, Section section) {
    struct Range {
        std::uint64_t pos, end;
    };
    MetaList top_level;
    // Ranges being walked, outermost first: the whole input, then each `moov` entered.
    std::array<Range, kMaxMoovDepth + 1> ranges;
    std::size_t depth = 0;
    ranges[0] = {0, in.size()};
    for (;;) {
        Range& range = ranges[depth];
        const auto box = next_box(in, range.pos, range.end);
        if (!box) {
            if (depth == 0) break;
            --depth;  // the enclosing range goes on after this `moov`
            continue;
        }
        range.pos += box->size;
        if (depth == 0) {
            if (!in.admit("top_level_boxes", top_level.size())) break;
            MetaObject entry;
            entry.reserve(2);
            entry.insert_string("type", utf8_lossy(box->type_bytes()));
            entry.insert_u64("size", box->size);
            top_level.push_back(MetaValue::object(std::move(entry)));
        }
        if (box->is("ftyp")) {
            read_ftyp(in, *box, section);
        } else if (box->is("mvhd")) {
            read_mvhd(in, *box, section);
        } else if (box->is("moov") && depth < kMaxMoovDepth) {
            ranges[++depth] = {box->payload(), box->end()};
        }
    }
    section.insert_list("top_level_boxes", std::move(top_level));
    return section;
}

}  // namespace vorandix::extractors::mp4
