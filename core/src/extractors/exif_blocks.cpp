#include "extractors/exif_blocks.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "extractors/boxes.hpp"
#include "extractors/toolkit.hpp"

namespace vorandix::extractors::exif {

namespace {

constexpr std::string_view kExifHeader("Exif\0\0", 6);
// Bytes looked at a time when a search runs through a block of unknown content.
constexpr std::size_t kPiece = 65536;
// A PNG text chunk that carries an EXIF profile is read whole, up to this much; ImageMagick's
// profiles hold at most a 64 KiB APP1 segment, written as hexadecimal.
constexpr std::uint64_t kMaxProfileChunk = std::uint64_t{16} << 20;

Step decode(std::uint64_t offset, std::uint64_t length) {
    Step s{Step::Kind::Decode, {}, {}};
    s.block.offset = offset;
    s.block.length = length;
    return s;
}
Step fail(std::string_view message) { return {Step::Kind::Fail, {}, std::string(message)}; }

// ---- JPEG: the first APP1 segment that starts "Exif\0\0", up to the first scan.

// Markers that carry a length field, as exiv2 reads them: SOF0-SOF15 (with DHT, JPG and DAC
// among them), APP0-APP15, DQT, DRI, COM and SOS. Any other marker stands alone.
bool has_length(std::uint8_t m) {
    return (m >= 0xC0 && m <= 0xCF) || (m >= 0xE0 && m <= 0xEF) || m == 0xDB || m == 0xDD ||
           m == 0xFE || m == 0xDA;
}

Steps locate_jpeg(Input& in) {
    Steps out;
    const std::uint64_t n = in.size();
    if (!has_at(in.at(0, 2), 0, "\xFF\xD8")) {
        out.not_container = true;
        return out;
    }
    std::uint64_t p = 2;
    for (;;) {
        // Up to the next 0xFF, then past any 0xFF fill bytes: the marker. Segments usually
        // follow each other directly, so a small look suffices.
        while (p < n) {
            const ByteView piece = in.at(p, 4096);
            if (piece.empty()) return out;
            const void* ff = std::memchr(piece.data(), 0xFF, piece.size());
            if (ff) {
                p += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(ff) - piece.data());
                break;
            }
            p += piece.size();
        }
        std::uint8_t m = 0xFF;
        while (m == 0xFF) {
            const ByteView b = in.at(++p, 1);
            if (b.empty()) return out;
            m = b[0];
        }
        p += 1;
        if (m == 0xDA || m == 0xD9) return out;  // the scan or the end: no EXIF before it
        if (!has_length(m)) continue;
        Fields f(in.at(p, 2));
        const std::uint16_t size = f.u16be();
        if (!f.ok() || size < 2) return out;  // a segment that cannot be walked ends the search
        const std::uint64_t payload = p + 2;
        const std::uint64_t length = size - 2u;
        if (m == 0xE1 && size >= 8 && has_at(in.at(payload, 6), 0, kExifHeader)) {
            // Only the block's own segment is judged: cut, it is a fault of the EXIF data.
            if (length > n - payload) {
                out.steps.push_back(fail(kFailedToRead));
            } else {
                out.steps.push_back(decode(payload + 6, length - 6));
            }
            return out;
        }
        p = payload + length;
    }
}

// ---- PNG: eXIf chunks and ImageMagick's "Raw profile type exif" (or "APP1") text chunks, in
// the order of the chunks, until IEND.

bool inflate_zlib(ByteView data, std::vector<std::uint8_t>& out) {
    // As exiv2 inflates text chunks: into at most twice the compressed size or 128 KiB,
    // whichever is more; a larger text is a fault.
    const std::size_t limit = std::max<std::size_t>(data.size() * 2, 131072);
    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> d(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    if (!d) return false;
    out.resize(limit);
    std::size_t in_used = 0, produced = 0;
    const auto rc = libdeflate_zlib_decompress_ex(d.get(), data.data(), data.size(), out.data(),
                                                  out.size(), &in_used, &produced);
    if (rc != LIBDEFLATE_SUCCESS) return false;
    out.resize(produced);
    return true;
}

// The text of a tEXt, zTXt or iTXt chunk whose keyword (`key_len` bytes and a NUL) starts
// `data`, laid out as exiv2 reads it; nothing, with `message` set, when exiv2 refuses it.
std::optional<std::vector<std::uint8_t>> chunk_text(std::string_view type, ByteView data,
                                                    std::size_t key_len, std::string& message) {
    std::vector<std::uint8_t> out;
    if (type == "tEXt") {
        const ByteView text = data.subspan(key_len + 1);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }
    if (type == "zTXt") {
        if (data.size() < key_len + 2) {
            message = kCorrupted;
            return std::nullopt;
        }
        if (data[key_len + 1] != 0 || !inflate_zlib(data.subspan(key_len + 2), out)) {
            message = kFailedToRead;
            return std::nullopt;
        }
        return out;
    }
    // iTXt: compression flag and method, then a language tag and a translated keyword, each
    // ended by a NUL, then the text.
    if (data.size() < key_len + 3 ||
        std::count(data.begin() + static_cast<std::ptrdiff_t>(key_len + 3), data.end(), 0) < 2) {
        message = kCorrupted;
        return std::nullopt;
    }
    const std::uint8_t flag = data[key_len + 1];
    if ((flag != 0 && flag != 1) || data[key_len + 2] != 0) {
        message = kCorrupted;
        return std::nullopt;
    }
    std::size_t p = key_len + 3;
    for (int field = 0; field < 2; ++field) {
        while (data[p] != 0) ++p;  // the NULs were counted above
        ++p;
    }
    const ByteView text = data.subspan(p);
    if (flag == 0) return std::vector<std::uint8_t>(text.begin(), text.end());
    if (!inflate_zlib(text, out)) {
        message = kFailedToRead;
        return std::nullopt;
    }
    return out;
}

Steps locate_png(Input& in) {
    Steps out;
    if (!has_at(in.at(0, 8), 0, "\x89PNG\r\n\x1a\n")) {
        out.not_container = true;
        return out;
    }
    const std::uint64_t n = in.size();
    for (std::uint64_t e = 8; n >= 8 && e <= n - 8;) {
        std::array<std::uint8_t, 8> header;
        Fields h(in.fill(e, header));
        const std::uint32_t length = h.u32be();
        const ByteView type_bytes = h.bytes(4);
        if (!h.ok()) return out;
        const std::string_view type(reinterpret_cast<const char*>(type_bytes.data()), 4);
        const std::uint64_t data = e + 8;
        const bool cut = length > 0x7FFFFFFFu || length > n - data;
        if (type == "IEND") return out;
        if (type == "eXIf") {
            if (cut) {
                out.steps.push_back(fail(kFailedToRead));
                return out;
            }
            out.steps.push_back(decode(data, length));
        } else if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
            // Only a profile's keyword is looked at first; other text chunks stay unread.
            const ByteView key = in.at(data, 22);
            const bool profile = has_at(key, 0, "Raw profile type exif") ||
                                 has_at(key, 0, "Raw profile type APP1");
            if (profile) {
                if (cut || length > kMaxProfileChunk) {
                    out.steps.push_back(fail(kFailedToRead));
                    return out;
                }
                const ByteView bytes = in.at(data, length);
                const auto* nul = static_cast<const std::uint8_t*>(
                    std::memchr(bytes.data(), 0, bytes.size()));
                if (nul == nullptr) {
                    out.steps.push_back(fail(kFailedToRead));  // the keyword never ends
                    return out;
                }
                std::string message;
                auto text = chunk_text(type, bytes, static_cast<std::size_t>(nul - bytes.data()),
                                       message);
                if (!text) {
                    out.steps.push_back(fail(message));
                    return out;
                }
                Step s{Step::Kind::DecodeIfNone, {}, {}};
                s.block.made = true;
                s.block.bytes = std::move(*text);
                s.block.length = s.block.bytes.size();
                out.steps.push_back(std::move(s));
            }
        }
        if (cut) return out;  // another chunk cut: the file ends there
        e = data + length + 4;
    }
    return out;
}

// ---- WebP: EXIF chunks, with the TIFF header found where exiv2 looks for it.

// The first place `pattern` starts within the `length` bytes at `offset`, short of the very
// last place (as exiv2 searches), read a piece at a time.
std::optional<std::uint64_t> search(Input& in, std::uint64_t offset, std::uint64_t length,
                                    std::string_view pattern) {
    if (length < pattern.size()) return std::nullopt;
    const std::uint64_t last = length - pattern.size();  // positions [0, last) are tried
    for (std::uint64_t at = 0; at < last;) {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(kPiece, last - at + pattern.size() - 1));
        const ByteView piece = in.at(offset + at, want);
        if (piece.size() < pattern.size()) return std::nullopt;
        const void* hit = memmem(piece.data(), piece.size(), pattern.data(), pattern.size());
        if (hit) {
            const auto rel = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) -
                                                        piece.data());
            return at + rel < last ? std::optional(at + rel) : std::nullopt;
        }
        at += piece.size() - pattern.size() + 1;
    }
    return std::nullopt;
}

Steps locate_webp(Input& in) {
    Steps out;
    const std::uint64_t n = in.size();
    std::array<std::uint8_t, 12> head;
    Fields h(in.fill(0, head));
    if (n < 12 || !has_at(head, 0, "RIFF") || !has_at(head, 8, "WEBP")) {
        out.not_container = true;
        return out;
    }
    const std::uint64_t end = std::min<std::uint64_t>(n, std::uint64_t{h.skip(4).u32le()} + 8);
    for (std::uint64_t p = 12; p < end && end - p >= 8;) {
        std::array<std::uint8_t, 8> chunk;
        Fields c(in.fill(p, chunk));
        const ByteView id = c.bytes(4);
        const std::uint32_t size = c.u32le();
        if (!c.ok()) return out;
        const std::uint64_t payload = p + 8;
        const bool exif = has_at(id, 0, "EXIF");
        if (size > end - payload) {
            if (exif) out.steps.push_back(fail(kCorrupted));
            return out;
        }
        if (exif) {
            // exiv2 looks for its APP1 marker (the 4-byte form, then the 6-byte one), then
            // "II*", then "MM\0*", and decodes from the first it finds.
            std::optional<std::uint64_t> at;
            for (std::string_view pattern :
                 {std::string_view("\xFF\x01\xFF\xE1", 4), std::string_view("\xFF\x01\xFF\xE1\0\0", 6),
                  std::string_view("II*", 3), std::string_view("MM\0*", 4)}) {
                if ((at = search(in, payload, size, pattern))) break;
            }
            if (at) {
                out.steps.push_back(decode(payload + *at, size - *at));
            } else {
                out.steps.push_back({Step::Kind::Clear, {}, {}});
            }
        }
        p = payload + size;
        p += p & 1;  // chunks start at even offsets
    }
    return out;
}

// ---- HEIF: the items of type "Exif" that each `meta` box lists, located through `iloc`.

struct Extent {
    std::uint64_t offset, length;
};

struct Item {
    std::uint32_t id = 0;
    std::uint16_t method = 0;  // 0: offsets in the file, 1: in the `idat` box
    std::vector<Extent> extents;
};

// A field of `size` bytes (0, 4 or 8); false when the size is one ISO/IEC 14496-12 does not
// allow or the bytes ran out.
bool sized(Fields& f, unsigned size, std::uint64_t& v) {
    switch (size) {
        case 0: v = 0; return true;
        case 4: v = f.u32be(); return f.ok();
        case 8: v = f.u64be(); return f.ok();
        default: return false;
    }
}

// The items of an `iloc` box (ISO/IEC 14496-12 8.11.3), as many as its bytes hold.
std::vector<Item> read_iloc(ByteView payload) {
    std::vector<Item> items;
    Fields f(payload);
    const std::uint8_t version = f.u8();
    f.skip(3);
    const std::uint8_t sizes = f.u8();
    const std::uint8_t sizes2 = f.u8();
    const unsigned offset_size = sizes >> 4, length_size = sizes & 15;
    const unsigned base_size = sizes2 >> 4;
    const unsigned index_size = version >= 1 ? sizes2 & 15 : 0;
    const std::uint32_t count = version < 2 ? f.u16be() : f.u32be();
    for (std::uint32_t i = 0; i < count && f.ok(); ++i) {
        Item item;
        item.id = version < 2 ? f.u16be() : f.u32be();
        if (version >= 1) item.method = f.u16be() & 15;
        const std::uint16_t reference = f.u16be();
        std::uint64_t base = 0;
        if (!sized(f, base_size, base)) return items;
        const std::uint16_t extents = f.u16be();
        for (std::uint16_t k = 0; k < extents && f.ok(); ++k) {
            std::uint64_t index = 0, offset = 0, length = 0;
            if (!sized(f, index_size, index) || !sized(f, offset_size, offset) ||
                !sized(f, length_size, length)) {
                return items;
            }
            std::uint64_t at;
            if (__builtin_add_overflow(base, offset, &at)) return items;
            item.extents.push_back({at, length});
        }
        if (!f.ok()) return items;
        // Data kept in the file or in `idat`. The data reference is not looked at: an image's
        // items are in its own file, whatever a damaged field says.
        (void)reference;
        if (item.method <= 1) items.push_back(std::move(item));
    }
    return items;
}

// The IDs of the items of type "Exif" in an `iinf` box (8.11.6).
std::vector<std::uint32_t> read_iinf(Input& in, const Box& iinf) {
    std::vector<std::uint32_t> ids;
    Fields head(in.at(iinf.payload(), 8));
    const std::uint8_t version = head.u8();
    const std::uint64_t first = iinf.payload() + 4 + (version == 0 ? 2 : 4);
    for (std::uint64_t p = first; auto infe = next_box(in, p, iinf.end());) {
        p = infe->end();
        if (!infe->is("infe")) continue;
        // Version 2 (and, read alike, a version a damaged file claims) has a 16-bit item ID,
        // version 3 a 32-bit one; then the protection index and the item type. As exiv2 does,
        // an item counts as EXIF when the type and the name after it hold "Exif".
        const ByteView payload = in.at(infe->payload(), 256);
        Fields f(payload);
        const std::uint8_t v = f.u8();
        f.skip(3);
        const std::uint32_t id = v == 3 ? f.u32be() : f.u16be();
        f.skip(2);
        const ByteView rest = payload.subspan(std::min(payload.size(), f.pos()));
        const std::string_view text(reinterpret_cast<const char*>(rest.data()),
                                    std::find(rest.begin(), rest.end(), 0) - rest.begin());
        if (f.ok() && text.find("Exif") != std::string_view::npos) ids.push_back(id);
    }
    return ids;
}

// Where the TIFF structure starts in an Exif item: after its 4-byte header offset field and
// that offset; or, when no TIFF header is there, where exiv2 finds one: the first "II" or "MM".
std::optional<std::uint64_t> tiff_start(ByteView item) {
    if (item.size() <= 8) return std::nullopt;
    Fields f(item);
    const std::uint64_t at = std::uint64_t{4} + f.u32be();
    if (at < item.size() &&
        (has_at(item, static_cast<std::size_t>(at), "II*") ||
         has_at(item, static_cast<std::size_t>(at), std::string_view("MM\0*", 4)))) {
        return at;
    }
    for (std::size_t i = 0; i + 9 < item.size(); ++i) {
        if (item[i] == item[i + 1] && (item[i] == 'I' || item[i] == 'M')) return i;
    }
    return std::nullopt;
}

// Items at most this big are gathered into one buffer; a single larger extent is decoded
// where it lies. Real Exif items hold a few tens of kilobytes.
constexpr std::uint64_t kMaxGatheredItem = std::uint64_t{16} << 20;

void read_meta(Input& in, const Box& meta, Steps& out, std::vector<Extent>& seen) {
    std::vector<std::uint32_t> exif_ids;
    std::vector<Item> items;
    std::optional<Box> idat;
    for (std::uint64_t p = meta.payload() + 4; auto box = next_box(in, p, meta.end());) {
        p = box->end();
        if (box->is("iinf")) {
            const auto ids = read_iinf(in, *box);
            exif_ids.insert(exif_ids.end(), ids.begin(), ids.end());
        } else if (box->is("iloc")) {
            const auto found = read_iloc(in.at(box->payload(),
                                               static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   box->payload_size(), std::uint64_t{1} << 24))));
            items.insert(items.end(), found.begin(), found.end());
        } else if (box->is("idat")) {
            idat = box;
        }
    }
    const std::uint64_t n = in.size();
    for (const Item& item : items) {
        if (std::find(exif_ids.begin(), exif_ids.end(), item.id) == exif_ids.end()) continue;
        // The item's extents, in the file; each checked against the file or the idat box.
        std::vector<Extent> extents;
        std::uint64_t total = 0;
        for (const Extent& e : item.extents) {
            std::uint64_t start = e.offset, limit = n;
            if (item.method == 1) {
                if (!idat || e.offset > idat->payload_size()) {
                    out.steps.push_back(fail(kCorrupted));
                    return;
                }
                start = idat->payload() + e.offset;
                limit = idat->end();
            }
            const std::uint64_t length = e.length ? e.length : (start <= limit ? limit - start : 0);
            if (start > limit || length > limit - start) {
                out.steps.push_back(fail(kCorrupted));
                return;
            }
            extents.push_back({start, length});
            total += length;
        }
        if (extents.empty()) continue;
        // Each block once, however many meta boxes list it.
        const Extent key{extents.front().offset, total};
        if (std::any_of(seen.begin(), seen.end(), [&](const Extent& s) {
                return s.offset == key.offset && s.length == key.length;
            })) {
            continue;
        }
        seen.push_back(key);
        Step step{Step::Kind::Decode, {}, {}};
        if (extents.size() == 1 && total > kMaxGatheredItem) {
            // Too big to gather: the TIFF structure must start right after the offset field.
            Fields f(in.at(extents[0].offset, 4));
            const std::uint64_t skip = std::uint64_t{4} + f.u32be();
            if (!f.ok() || skip >= total) continue;
            step.block.offset = extents[0].offset + skip;
            step.block.length = total - skip;
        } else {
            if (total > kMaxGatheredItem) continue;
            std::vector<std::uint8_t> bytes;
            bytes.reserve(static_cast<std::size_t>(total));
            for (const Extent& e : extents) {
                const ByteView v = in.at(e.offset, static_cast<std::size_t>(e.length));
                bytes.insert(bytes.end(), v.begin(), v.end());
            }
            const auto start = tiff_start(bytes);
            if (!start) continue;
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(*start));
            step.block.made = true;
            step.block.length = bytes.size();
            step.block.bytes = std::move(bytes);
        }
        out.steps.push_back(std::move(step));
    }
}

Steps locate_heif(Input& in) {
    Steps out;
    const ByteView head = in.at(0, 12);
    const bool ftyp = has_at(head, 4, "ftyp"), jxl = has_at(head, 4, "JXL ");
    if (head.size() < 12 || !(jxl || (ftyp && !has_at(head, 8, "qt  ")))) {
        out.not_container = true;
        return out;
    }
    std::vector<Extent> seen;
    for (std::uint64_t p = 0; auto box = next_box(in, p, in.size());) {
        p = box->end();
        if (box->is("meta")) read_meta(in, *box, out, seen);
        if (!out.steps.empty() && out.steps.back().kind == Step::Kind::Fail) break;
    }
    return out;
}

// ---- TIFF: the file is the block.

Steps locate_tiff(Input& in) {
    Steps out;
    const ByteView head = in.at(0, 8);
    const bool header = head.size() == 8 &&
                        (has_at(head, 0, "II*\0") || has_at(head, 0, std::string_view("MM\0*", 4)));
    if (!header) {
        out.not_container = true;
        return out;
    }
    out.steps.push_back(decode(0, in.size()));
    return out;
}

}  // namespace

Profile raw_profile(const std::vector<std::uint8_t>& text) {
    // "\n<type>\n<length in decimal>\n" then the profile in hexadecimal, white space between;
    // the first byte is passed over unread, as exiv2 does.
    Profile out;
    const std::size_t eot = text.size();
    std::size_t sp = 1;
    if (eot == 0 || sp >= eot) return out;
    while (text[sp] != '\n') {
        if (++sp == eot) return out;
    }
    if (++sp == eot) return out;
    while (text[sp] == '\0' || text[sp] == ' ' || text[sp] == '\n') {
        if (++sp == eot) return out;
    }
    std::uint64_t length = 0;
    while (text[sp] >= '0' && text[sp] <= '9') {
        const unsigned digit = text[sp] - '0';
        if (length > (static_cast<std::uint64_t>(INT64_MAX) - digit) / 10) return out;
        length = length * 10 + digit;
        if (++sp == eot) return out;
    }
    if (++sp == eot) return out;
    if (length > (eot - sp) / 2) {
        out.kind = Profile::Kind::Fail;
        out.message = kCorrupted;
        return out;
    }
    std::vector<std::uint8_t> info(static_cast<std::size_t>(length));
    const auto hex = [](std::uint8_t c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::uint64_t i = 0; i < length * 2; ++i) {
        if (sp >= eot) {
            out.kind = Profile::Kind::Fail;
            out.message = kCorrupted;
            return out;
        }
        while (hex(text[sp]) < 0) {
            if (text[sp] == '\0') return out;  // the profile ran out
            if (++sp >= eot) {
                out.kind = Profile::Kind::Fail;
                out.message = kCorrupted;
                return out;
            }
        }
        const int v = hex(text[sp++]);
        if (i % 2 == 0) {
            info[i / 2] = static_cast<std::uint8_t>(16 * v);
        } else {
            info[i / 2] = static_cast<std::uint8_t>(info[i / 2] + v);
        }
    }
    if (info.empty()) return out;
    // The TIFF structure follows the first "Exif\0\0", short of the very last place.
    for (std::size_t i = 0; i + kExifHeader.size() < info.size(); ++i) {
        if (has_at(info, i, kExifHeader)) {
            out.kind = Profile::Kind::Tiff;
            out.tiff.assign(info.begin() + static_cast<std::ptrdiff_t>(i + kExifHeader.size()),
                            info.end());
            return out;
        }
    }
    out.kind = Profile::Kind::Headerless;
    return out;
}

Steps locate(Input& in, std::string_view mime_type) {
    if (mime_type == "image/jpeg") return locate_jpeg(in);
    if (mime_type == "image/png") return locate_png(in);
    if (mime_type == "image/webp") return locate_webp(in);
    if (mime_type == "image/tiff") return locate_tiff(in);
    return locate_heif(in);  // image/heif, image/heic
}

}  // namespace vorandix::extractors::exif
