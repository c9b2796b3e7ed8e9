// JPEG (ITU-T T.81 interchange format): the marker segments up to the first scan, with the
// frame header, JFIF density, payload kinds, comments and a quality estimate lifted out.
#include <cstdio>
#include <cstring>

#include "extractors/toolkit.hpp"

namespace vorandix::extractors::jpeg {

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

constexpr Label<std::uint8_t> kMarkerNames[] = {
    {0xC0, "SOF0 (baseline)"},    {0xC2, "SOF2 (progressive)"},
    {0xC4, "DHT (huffman)"},      {0xDA, "SOS (scan start)"},
    {0xDB, "DQT (quantization)"}, {0xDD, "DRI (restart interval)"},
    {0xE0, "APP0"},               {0xE1, "APP1"},
    {0xE2, "APP2"},               {0xED, "APP13"},
    {0xEE, "APP14"},              {0xFE, "COM (comment)"},
};
constexpr Label<std::uint8_t> kColorSpaces[] = {{1, "grayscale"}, {3, "YCbCr/RGB"}, {4, "CMYK/YCCK"}};
constexpr Label<std::uint8_t> kDensityUnits[] = {{0, "aspect-ratio"}, {1, "dpi"}, {2, "dpcm"}};

// The 28-character XMP namespace and its terminating zero, which prefix an XMP packet in APP1.
constexpr std::string_view kXmpSignature("http://ns.adobe.com/xap/1.0/\0", 29);

// Bytes searched at a time when skipping stray bytes between segments.
constexpr std::size_t kScanChunk = 65536;

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

std::string version_text(unsigned major, unsigned minor) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%02u", major, minor);
    return text;
}

// Adds what the payload `p` of a segment with marker `m` says to `segment` or to the section.
// Only markers that look inside their payload are given it, at most 65533 bytes (a 16-bit
// length cannot ask for more).
void read_payload(Input& in, std::uint8_t m, ByteView p, Section& section, MetaObject& segment) {
    const std::size_t d = p.size();
    Fields f(p);
    switch (m) {
        case 0xC0:
        case 0xC1:
        case 0xC2:
        case 0xC3:
            if (d >= 6) {
                section.insert_u64("bit_depth", f.u8());
                section.insert_u64("height", f.u16be());
                section.insert_u64("width", f.u16be());
                const std::uint8_t components = f.u8();
                section.insert_u64("components", components);
                section.insert_bool("progressive", m == 0xC2);
                section.insert_string("color_space_guess",
                                      label_of(kColorSpaces, components, "unknown"));
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
                const unsigned major = f.skip(5).u8();
                const unsigned minor = f.u8();
                const std::uint8_t units = f.u8();
                const unsigned x = f.u16be();
                const unsigned y = f.u16be();
                segment.insert_string("jfif_version", version_text(major, minor));
                segment.insert_string("density", std::to_string(x) + "x" + std::to_string(y) +
                                                     " " + label_of(kDensityUnits, units, "?"));
            }
            break;
        case 0xE1:
            if (has_at(p, 0, std::string_view("Exif\0\0", 6))) {
                segment.insert_string("payload", "EXIF");
            } else if (has_at(p, 0, kXmpSignature)) {
                segment.insert_string("payload", "XMP");
                const ByteView packet = p.subspan(kXmpSignature.size());
                if (utf8_valid(packet)) section.insert_u64("xmp_packet_chars", packet.size());
            }
            break;
        case 0xE2:
            if (has_at(p, 0, std::string_view("ICC_PROFILE\0", 12))) {
                segment.insert_string("payload", "ICC profile");
            }
            break;
        case 0xED:
            if (has_at(p, 0, std::string_view("Photoshop 3.0\0", 14))) {
                segment.insert_string("payload", "Photoshop IRB (IPTC likely)");
            }
            break;
        case 0xFE:
            if (utf8_valid(p)) {
                std::size_t end = d;
                while (end > 0 && p[end - 1] == 0) --end;
                segment.insert_string(
                    "comment", in.keep_text("segments.comment",
                                            std::string(reinterpret_cast<const char*>(p.data()), end)));
            }
            break;
        default:
            break;
    }
}

bool looks_inside(std::uint8_t m) {
    return (m >= 0xC0 && m <= 0xC3) || m == 0xDB || m == 0xE0 || m == 0xE1 || m == 0xE2 ||
           m == 0xED || m == 0xFE;
}

}  // namespace

bool applies(const ExtractContext& ctx) { return has_at(ctx.head, 0, "\xFF\xD8\xFF"); }

ExtractResult extract(Input& in, Section section) {
    const std::uint64_t n = in.size();
    MetaList segments;
    // Past the SOI that `applies` saw; 4 bytes give a marker and its length field.
    std::uint64_t i = 2;
    while (n >= 4 && i <= n - 4) {
        const ByteView h = in.at(i, 4);
        if (h.size() < 4) break;  // the input ended early

        if (h[0] != 0xFF) {
            // Stray bytes between segments carry nothing; jump to the next 0xFF.
            const ByteView chunk = in.at(i, kScanChunk);
            if (chunk.empty()) break;
            const void* ff = std::memchr(chunk.data(), 0xFF, chunk.size());
            i += ff ? static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(ff) -
                                                 chunk.data())
                    : chunk.size();
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

        if (!in.admit("segments", segments.size())) break;
        MetaObject segment;
        segment.reserve(4);
        segment.insert_string("marker", marker_text(m));
        segment.insert_string("name", label_of(kMarkerNames, m, "other"));
        segment.insert_u64("offset", i);
        segment.insert_u64("length", length);
        if (looks_inside(m)) {
            read_payload(in, m, in.at(i + 4, static_cast<std::size_t>(payload_len)), section,
                         segment);
            segment.shrink_to_fit();  // a hundred thousand segments may be listed
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

}  // namespace vorandix::extractors::jpeg
