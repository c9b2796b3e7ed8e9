// JPEG (ITU-T T.81 interchange format): the marker segments up to the first scan, with the
// frame header, JFIF density, payload kinds, comments and a quality estimate lifted out.
#include <cstdio>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

// ITU-T T.81 Table K.1, the luminance quantisation table, in natural (row-major) order.
// clang-format off
constexpr std::uint8_t kLuminanceK1[64] = {
     16,  11,  10,  16,  24,  40,  51,  61,
     12,  12,  14,  19,  26,  58,  60,  55,
     14,  13,  16,  24,  40,  57,  69,  56,
     14,  17,  22,  29,  51,  87,  80,  62,
     18,  22,  37,  56,  68, 109, 103,  77,
     24,  35,  55,  64,  81, 104, 113,  92,
     49,  64,  78,  87, 103, 121, 120, 101,
     72,  92,  95,  98, 112, 100, 103,  99,
};

// Natural-order position of the k-th coefficient of a DQT table, which T.81 (B.2.4.1)
// stores in zig-zag order.
constexpr std::uint8_t kZigZag[64] = {
      0,   1,   8,  16,   9,   2,   3,  10,
     17,  24,  32,  25,  18,  11,   4,   5,
     12,  19,  26,  33,  40,  48,  41,  34,
     27,  20,  13,   6,   7,  14,  21,  28,
     35,  42,  49,  56,  57,  50,  43,  36,
     29,  22,  15,  23,  30,  37,  44,  51,
     58,  59,  52,  45,  38,  31,  39,  46,
     53,  60,  61,  54,  47,  55,  62,  63,
};
// clang-format on

// 28-character XMP namespace and its terminating zero, as the XMP specification prefixes an
// APP1 packet.
constexpr std::string_view kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);

// Bytes searched at a time when skipping stray bytes between segments.
constexpr std::size_t kScanChunk = 65536;

const char* marker_name(std::uint8_t m) {
    switch (m) {
        case 0xC0:
            return "SOF0 (baseline)";
        case 0xC2:
            return "SOF2 (progressive)";
        case 0xC4:
            return "DHT (huffman)";
        case 0xDA:
            return "SOS (scan start)";
        case 0xDB:
            return "DQT (quantization)";
        case 0xDD:
            return "DRI (restart interval)";
        case 0xE0:
            return "APP0";
        case 0xE1:
            return "APP1";
        case 0xE2:
            return "APP2";
        case 0xED:
            return "APP13";
        case 0xEE:
            return "APP14";
        case 0xFE:
            return "COM (comment)";
        default:
            return "other";
    }
}

const char* color_space_guess(std::uint8_t components) {
    switch (components) {
        case 1:
            return "grayscale";
        case 3:
            return "YCbCr/RGB";
        case 4:
            return "CMYK/YCCK";
        default:
            return "unknown";
    }
}

const char* density_unit(std::uint8_t units) {
    switch (units) {
        case 0:
            return "aspect-ratio";
        case 1:
            return "dpi";
        case 2:
            return "dpcm";
        default:
            return "?";
    }
}

// The IJG quality setting (1 to 100) whose scaled luminance table lies closest to `table`,
// 64 coefficients in the zig-zag order a DQT segment stores them; ties go to the lower quality.
std::uint64_t estimate_quality(const std::uint8_t* table) {
    std::uint64_t best_quality = 1;
    std::uint64_t best_distance = UINT64_MAX;
    for (int q = 1; q <= 100; ++q) {
        const int scale = q < 50 ? 5000 / q : 200 - 2 * q;
        std::uint64_t distance = 0;
        for (int k = 0; k < 64; ++k) {
            int reference = (kLuminanceK1[kZigZag[k]] * scale + 50) / 100;
            reference = reference < 1 ? 1 : reference > 255 ? 255 : reference;
            const int diff = table[k] - reference;
            distance += static_cast<std::uint64_t>(diff < 0 ? -diff : diff);
        }
        if (distance < best_distance) {
            best_distance = distance;
            best_quality = static_cast<std::uint64_t>(q);
        }
    }
    return best_quality;
}

std::string marker_text(std::uint8_t m) {
    char text[5];
    std::snprintf(text, sizeof text, "FF%02X", m);
    return text;
}

std::string jfif_version(std::uint8_t major, std::uint8_t minor) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", unsigned{major}, unsigned{minor});
    return text;
}

class JpegExtractor final : public Extractor {
public:
    const char* name() const override { return "jpeg"; }

    bool applies(const ExtractContext& ctx) const override {
        return ctx.head.size() >= 3 && ctx.head[0] == 0xFF && ctx.head[1] == 0xD8 &&
               ctx.head[2] == 0xFF;
    }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto size = input.size();
        if (!size) return ExtractError::io(size.error());
        const std::uint64_t n = *size;

        Section section(name());
        MetaList segments;
        // Past the SOI that `applies` saw; 4 bytes give a marker and its length field.
        std::uint64_t i = 2;
        while (n >= 4 && i <= n - 4) {
            auto header = input.at(i, 4);
            if (!header) return ExtractError::io(header.error());
            const ByteView h = *header;

            if (h[0] != 0xFF) {
                // Stray bytes between segments carry nothing; jump to the next 0xFF.
                auto chunk = input.at(i, kScanChunk);
                if (!chunk) return ExtractError::io(chunk.error());
                const void* ff = std::memchr(chunk->data(), 0xFF, chunk->size());
                i += ff ? static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(ff) -
                                                     chunk->data())
                        : chunk->size();
                continue;
            }
            const std::uint8_t m = h[1];
            // A 0xFF before a marker is a fill byte (T.81 B.1.1.2), not a marker of its own.
            if (m == 0xFF) {
                i += 1;
                continue;
            }
            // RST0-RST7 and SOI stand alone, without a length field.
            if (m >= 0xD0 && m <= 0xD8) {
                i += 2;
                continue;
            }
            if (m == 0xD9) break;

            const std::uint16_t length = load_u16be(h.data() + 2);
            // A length below 2, or one that runs past the input, leaves the payload empty.
            const std::uint64_t payload_len =
                length >= 2 && length - 2u <= n - i - 4 ? length - 2u : 0;

            MetaObject segment;
            segment.insert_string("marker", marker_text(m));
            segment.insert_str("name", marker_name(m));
            segment.insert_u64("offset", i);
            segment.insert_u64("length", length);
            if (auto failed = read_payload(input, m, i + 4, payload_len, section, segment)) {
                return *failed;
            }
            segments.push_back(MetaValue::object(std::move(segment)));

            i += 2 + std::uint64_t{length};
            if (m == 0xDA) {
                // Entropy-coded data follows the first scan header; nothing after it is read.
                section.insert_u64("scan_data_offset", i);
                break;
            }
        }
        section.insert_list("segments", std::move(segments));
        return section;
    }

private:
    // Adds what the payload of a segment with marker `m` says to `segment` or to the section.
    // Only markers that look inside their payload read it, at most 65533 bytes (a 16-bit
    // length cannot ask for more). Returns an error only when reading fails.
    static std::optional<ExtractError> read_payload(RandomAccess& input, std::uint8_t m,
                                                    std::uint64_t offset, std::uint64_t len,
                                                    Section& section, MetaObject& segment) {
        const bool wanted = (m >= 0xC0 && m <= 0xC3) || m == 0xDB || m == 0xE0 || m == 0xE1 ||
                            m == 0xE2 || m == 0xED || m == 0xFE;
        if (!wanted) return std::nullopt;
        auto view = input.at(offset, static_cast<std::size_t>(len));
        if (!view) return ExtractError::io(view.error());
        const ByteView p = *view;
        const std::size_t d = p.size();

        switch (m) {
            case 0xC0:
            case 0xC1:
            case 0xC2:
            case 0xC3:
                if (d >= 6) {
                    section.insert_u64("bit_depth", p[0]);
                    section.insert_u64("height", load_u16be(p.data() + 1));
                    section.insert_u64("width", load_u16be(p.data() + 3));
                    section.insert_u64("components", p[5]);
                    section.insert_bool("progressive", m == 0xC2);
                    section.insert_str("color_space_guess", color_space_guess(p[5]));
                }
                break;
            case 0xDB:
                // Only the segment's first table, and only when it is 8-bit table 0.
                if (d >= 65 && p[0] == 0 && !section.fields.find("quality_estimate")) {
                    section.insert_u64("quality_estimate", estimate_quality(p.data() + 1));
                }
                break;
            case 0xE0:
                if (d >= 12 && has_at(p, 0, std::string_view("JFIF\0", 5))) {
                    segment.insert_string("jfif_version", jfif_version(p[5], p[6]));
                    segment.insert_string("density", std::to_string(load_u16be(p.data() + 8)) +
                                                         "x" +
                                                         std::to_string(load_u16be(p.data() + 10)) +
                                                         " " + density_unit(p[7]));
                }
                break;
            case 0xE1:
                if (has_at(p, 0, std::string_view("Exif\0\0", 6))) {
                    segment.insert_str("payload", "EXIF");
                } else if (has_at(p, 0, kXmpSignature)) {
                    segment.insert_str("payload", "XMP");
                    const ByteView packet = p.subspan(kXmpSignature.size());
                    if (utf8_valid(packet)) section.insert_u64("xmp_packet_chars", packet.size());
                }
                break;
            case 0xE2:
                if (has_at(p, 0, std::string_view("ICC_PROFILE\0", 12))) {
                    segment.insert_str("payload", "ICC profile");
                }
                break;
            case 0xED:
                if (has_at(p, 0, std::string_view("Photoshop 3.0\0", 14))) {
                    segment.insert_str("payload", "Photoshop IRB (IPTC likely)");
                }
                break;
            case 0xFE:
                if (utf8_valid(p)) {
                    std::size_t end = d;
                    while (end > 0 && p[end - 1] == 0) --end;
                    segment.insert_string(
                        "comment", std::string(reinterpret_cast<const char*>(p.data()), end));
                }
                break;
            default:
                break;
        }
        return std::nullopt;
    }
};

}  // namespace

const Extractor& jpeg_extractor() {
    static const JpegExtractor reader;
    return reader;
}

}  // namespace vorandix
