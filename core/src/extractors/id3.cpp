// ID3v2 tags at the start of the input: the tag header and eight common text frames.
//
// The tag is walked frame by frame inside the area its header declares (cut to the input);
// only the headers and the data of the frames reported are read, so an MP3 costs its tag.
#include <algorithm>

#include "extractors/toolkit.hpp"

namespace vorandix::extractors::id3 {

namespace {

constexpr std::size_t kTagHeader = 10;

// ID3v2.2 uses three-letter IDs; v2.3 and v2.4 four-letter ones. Both TYER (v2.3) and TDRC
// (v2.4) give the year, so whichever comes later in the tag wins.
constexpr Label<std::string_view> kFramesV2[] = {
    {"TT2", "title"}, {"TP1", "artist"}, {"TAL", "album"},
    {"TYE", "year"},  {"TCO", "genre"},  {"TRK", "track"},
};
constexpr Label<std::string_view> kFramesV3[] = {
    {"TIT2", "title"}, {"TPE1", "artist"},       {"TALB", "album"},
    {"TYER", "year"},  {"TDRC", "year"},         {"TCON", "genre"},
    {"TRCK", "track"}, {"TPE2", "album_artist"}, {"TCOM", "composer"},
};

template <std::size_t N>
const char* frame_key(const Label<std::string_view> (&table)[N], ByteView id) {
    const std::string_view text(reinterpret_cast<const char*>(id.data()), id.size());
    for (const auto& row : table) {
        if (row.key == text) return row.text;
    }
    return nullptr;
}

// The four bytes as 7-bit groups, high first. The bytes are not masked: in a well-formed tag
// their top bits are clear anyway, and a tag that sets them is read as it stands.
std::uint32_t syncsafe(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 21) | (std::uint32_t{p[1]} << 14) | (std::uint32_t{p[2]} << 7) |
           p[3];
}

// A text frame's data: the encoding byte, then the text. Nothing for an unknown encoding.
std::optional<std::string> decode_text(ByteView data) {
    const ByteView text = data.subspan(1);
    std::string out;
    switch (data[0]) {
        case 0:
            out = latin1_to_utf8(text);
            break;
        case 1:
        case 2: {
            // Encoding 1 carries a byte-order mark, encoding 2 (ID3v2.4) is big-endian. A mark
            // decides when present; without one, encoding 1 is taken as little-endian, the
            // order most writers use. The mark itself decodes to U+FEFF and is dropped below; a
            // half unit at the end (a frame cut short) carries no character and is dropped.
            const bool be_mark = has_at(text, 0, "\xFE\xFF");
            const bool le_mark = has_at(text, 0, "\xFF\xFE");
            out = utf16_to_utf8(text, be_mark || (data[0] == 2 && !le_mark), OddByte::Drop);
            static constexpr std::string_view kBom = "\xEF\xBB\xBF";
            std::size_t start = 0;
            while (out.compare(start, kBom.size(), kBom) == 0) start += kBom.size();
            out.erase(0, start);
            break;
        }
        case 3:
            out = utf8_lossy(text);
            break;
        default:
            return std::nullopt;
    }
    // Terminators (and runs of them) go; NULs separating several values stay. In UTF-8 a
    // zero byte is always U+0000.
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "ID3"); }

ExtractResult extract(Input& in, Section section) {
    const std::uint64_t len = in.size();
    std::array<std::uint8_t, kTagHeader> header;
    if (in.fill(0, header).size() < kTagHeader) return in.malformed("header too short");

    const std::uint8_t major = header[3];
    section.insert_string("version",
                          "2." + std::to_string(major) + "." + std::to_string(header[4]));
    section.insert_bool("unsynchronisation", (header[5] & 0x80) != 0);
    section.insert_bool("extended_header", (header[5] & 0x40) != 0);
    const std::uint32_t tag_size = syncsafe(header.data() + 6);
    section.insert_u64("tag_size", tag_size);

    // The frames are walked as they stand: an extended header is not skipped and
    // unsynchronisation is not undone.
    const std::uint64_t area = std::min<std::uint64_t>(tag_size, len - kTagHeader);
    const std::size_t header_len = major == 2 ? 6 : 10;
    const std::size_t id_len = major == 2 ? 3 : 4;
    MetaObject frames;
    std::uint64_t p = 0;
    // p stays below 2^30 + 2^32 + 10, so none of this can wrap.
    while (p <= area && area - p >= header_len) {
        const ByteView hdr = in.at(kTagHeader + p, header_len);
        if (hdr.size() < header_len) break;  // the input ended early
        const ByteView id = hdr.first(id_len);
        if (std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) break;
        const std::uint8_t* h = hdr.data();
        const std::uint64_t size = major == 2   ? load_u24be(h + 3)
                                   : major == 3 ? load_u32be(h + 4)
                                                : syncsafe(h + 4);
        const std::uint64_t data_start = p + header_len;
        const std::uint64_t data_end = std::min(area, data_start + size);
        if (data_end <= data_start) break;  // an empty frame ends the tag
        const char* key = major == 2 ? frame_key(kFramesV2, id) : frame_key(kFramesV3, id);
        if (key) {
            const ByteView data =
                in.at(kTagHeader + data_start, static_cast<std::size_t>(data_end - data_start));
            if (data.empty()) break;
            if (auto text = decode_text(data)) frames.insert_string(key, std::move(*text));
        }
        // Step by the declared size: a frame cut by the end leaves nothing after it.
        p = data_start + size;
    }
    if (!frames.empty()) section.insert_object("frames", std::move(frames));
    return section;
}

}  // namespace vorandix::extractors::id3
