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

// Unsynchronisation put a 0x00 after every 0xFF that a player could take for the start of an
// audio frame; undoing it drops each 0x00 that follows a 0xFF. Reads `raw` until `want` bytes
// are kept (appending them to `out` when given) and lowers `want` by that many; returns the raw
// bytes used. `after_ff` carries the state from one piece of input to the next.
std::size_t undo_unsync(ByteView raw, std::uint64_t& want, bool& after_ff, std::string* out) {
    std::size_t i = 0;
    for (; i < raw.size() && want > 0; ++i) {
        const std::uint8_t b = raw[i];
        const bool inserted = after_ff && b == 0;
        after_ff = b == 0xFF;
        if (inserted) continue;
        --want;
        if (out) out->push_back(static_cast<char>(b));
    }
    return i;
}

// The frame area, the tag after its 10-byte header, as the walk sees it. When the whole tag is
// unsynchronised (ID3v2.2 and v2.3) positions count the bytes with unsynchronisation undone;
// the walk only moves forward, so the area is then read once, piece by piece, and only the
// bytes asked for are kept. Otherwise views come straight from the input.
class FrameArea {
public:
    FrameArea(Input& in, std::uint64_t raw_size, bool unsync)
        : in_(in), raw_size_(raw_size), unsync_(unsync) {}

    // The n bytes at p, fewer at the end of the area; valid until the next call. When
    // unsynchronised, p must not lie before the start of the previous view.
    ByteView at(std::uint64_t p, std::size_t n) {
        if (!unsync_) {
            if (p >= raw_size_) return {};
            return in_.at(kTagHeader + p,
                          static_cast<std::size_t>(std::min<std::uint64_t>(n, raw_size_ - p)));
        }
        // kept_ holds the area's bytes [kept_at_, pos_).
        if (p < kept_at_) return {};
        if (p < pos_) {
            kept_.erase(0, static_cast<std::size_t>(p - kept_at_));
        } else {
            kept_.clear();
            if (!advance(p - pos_, nullptr)) return {};
        }
        kept_at_ = p;
        if (kept_.size() < n) advance(n - kept_.size(), &kept_);
        return as_bytes(kept_).first(std::min(n, kept_.size()));
    }

private:
    // Moves on by n bytes, keeping them in `out` when given; false when the area ends first.
    bool advance(std::uint64_t n, std::string* out) {
        static constexpr std::size_t kPiece = 16384;
        std::uint64_t left = n;
        while (left > 0 && raw_ < raw_size_) {
            const ByteView piece =
                in_.at(kTagHeader + raw_,
                       static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, raw_size_ - raw_)));
            if (piece.empty()) {  // the input ended early
                raw_ = raw_size_;
                break;
            }
            raw_ += undo_unsync(piece, left, after_ff_, out);
        }
        pos_ += n - left;
        return left == 0;
    }

    Input& in_;
    const std::uint64_t raw_size_;
    const bool unsync_;
    std::uint64_t raw_ = 0;  // where reading stands in the input's bytes
    std::uint64_t pos_ = 0;  // and in the area's
    std::uint64_t kept_at_ = 0;
    bool after_ff_ = false;
    std::string kept_;
};

// Where the first frame starts: after the extended header when the flags announce one. Only
// ID3v2.3 and v2.4 have one (in v2.2 the same bit means compression); v2.3 gives its size
// without the 4-byte size field, v2.4 gives it syncsafe and counting itself. Nothing when the
// size cannot be right; one past the area ends the walk as any frame that does not fit.
std::optional<std::uint64_t> first_frame(FrameArea& area, std::uint8_t major, std::uint8_t flags) {
    if ((flags & 0x40) == 0 || (major != 3 && major != 4)) return 0;
    const ByteView field = area.at(0, 4);
    if (field.size() < 4) return std::nullopt;
    // Some writers set the flag without writing the header. An extended header is a few bytes
    // long, so a size that reads as a frame ID (four capitals or digits) is the first frame.
    const auto id_char = [](std::uint8_t b) {
        return (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
    };
    if (std::all_of(field.begin(), field.end(), id_char)) return 0;
    if (major == 3) return 4 + std::uint64_t{load_u32be(field.data())};
    const std::uint32_t size = syncsafe(field.data());
    if (size < 4) return std::nullopt;
    return size;
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

    // Unsynchronisation covers the whole tag in v2.2 and v2.3, and the frames' data in v2.4,
    // where the frame sizes count the bytes as stored.
    const bool unsync = (header[5] & 0x80) != 0;
    FrameArea area(in, std::min<std::uint64_t>(tag_size, len - kTagHeader),
                   unsync && (major == 2 || major == 3));
    const std::size_t header_len = major == 2 ? 6 : 10;
    const std::size_t id_len = major == 2 ? 3 : 4;
    MetaObject frames;
    const std::optional<std::uint64_t> start = first_frame(area, major, header[5]);
    // p passes the area's end by at most a frame header and a 32-bit size (or starts past it
    // by a 32-bit extended header size) before the walk stops, so none of this can wrap.
    for (std::uint64_t p = start.value_or(0); start;) {
        const ByteView hdr = area.at(p, header_len);
        if (hdr.size() < header_len) break;  // the area or the input ended
        const ByteView id = hdr.first(id_len);
        if (std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b == 0; })) break;
        const std::uint8_t* h = hdr.data();
        const std::uint64_t size = major == 2   ? load_u24be(h + 3)
                                   : major == 3 ? load_u32be(h + 4)
                                                : syncsafe(h + 4);
        // v2.4's second flags byte: 0x02 an unsynchronised frame, 0x01 a 4-byte data length
        // before the data.
        const std::uint8_t format = major == 4 ? h[9] : 0;
        const std::uint64_t data_start = p + header_len;
        const char* key = major == 2 ? frame_key(kFramesV2, id) : frame_key(kFramesV3, id);
        // An empty frame (some writers leave TENC empty) holds nothing: the next header
        // follows it.
        if (key && size > 0) {
            // No more of a frame than the section's text may take is read.
            const bool whole = size <= in.text_room();
            ByteView data = area.at(
                data_start, static_cast<std::size_t>(std::min<std::uint64_t>(size, in.text_room())));
            if (data.empty()) break;  // the input ended early
            std::string resynced;
            if (major == 4 && (unsync || (format & 0x02) != 0)) {
                if ((format & 0x01) != 0)
                    data = data.subspan(std::min<std::size_t>(4, data.size()));
                std::uint64_t want = data.size();
                bool after_ff = false;
                undo_unsync(data, want, after_ff, &resynced);
                data = as_bytes(resynced);
            }
            if (!data.empty()) {
                if (auto text = decode_text(data)) {
                    frames.insert_string(
                        key, in.keep_text(std::string("frames.") + key, std::move(*text), whole));
                }
            }
        }
        // Step by the declared size: a frame cut by the end leaves nothing after it.
        p = data_start + size;
    }
    if (!frames.empty()) section.insert_object("frames", std::move(frames));
    return section;
}

}  // namespace vorandix::extractors::id3
