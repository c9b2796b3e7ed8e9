#include "vorandix/bytes.hpp"

#include <array>
#include <cmath>

namespace vorandix {

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence starting at bytes[i], or 0 when the bytes there
// are not one; `consumed` is then the length of the maximal invalid subpart to replace.
std::size_t utf8_sequence(ByteView bytes, std::size_t i, std::size_t& consumed) {
    const std::uint8_t b = bytes[i];
    std::size_t need;
    std::uint8_t lower = 0x80, upper = 0xBF;
    if (b < 0x80) {
        consumed = 1;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2, lower = 0xA0;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
        need = 2;
    } else if (b == 0xED) {
        need = 2, upper = 0x9F;
    } else if (b == 0xF0) {
        need = 3, lower = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else if (b == 0xF4) {
        need = 3, upper = 0x8F;
    } else {
        consumed = 1;
        return 0;
    }
    std::size_t j = i + 1;
    for (std::size_t k = 0; k < need; ++k, ++j) {
        if (j >= bytes.size() || bytes[j] < lower || bytes[j] > upper) {
            consumed = j - i;
            return 0;
        }
        lower = 0x80, upper = 0xBF;
    }
    consumed = j - i;
    return consumed;
}

}  // namespace

std::string utf8_lossy(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Copy ASCII runs without the per-byte classification.
        std::size_t run = i;
        while (run < bytes.size() && bytes[run] < 0x80) ++run;
        out.append(reinterpret_cast<const char*>(bytes.data()) + i, run - i);
        i = run;
        if (i == bytes.size()) break;
        std::size_t consumed;
        if (utf8_sequence(bytes, i, consumed)) {
            out.append(reinterpret_cast<const char*>(bytes.data()) + i, consumed);
        } else {
            out.append(kReplacement);
        }
        i += consumed;
    }
    return out;
}

bool utf8_valid(ByteView bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t consumed;
        if (!utf8_sequence(bytes, i, consumed)) return false;
        i += consumed;
    }
    return true;
}

std::string latin1_to_utf8(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::uint8_t b : bytes) append_utf8(out, b);
    return out;
}

std::string utf16_to_utf8(ByteView bytes, bool big_endian, OddByte odd) {
    const auto unit = [&](std::size_t i) -> char32_t {
        const std::uint8_t* p = bytes.data() + 2 * i;
        return big_endian ? load_u16be(p) : load_u16le(p);
    };
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, u >= 0xD800 && u <= 0xDFFF ? char32_t{0xFFFD} : u);
    }
    if (bytes.size() % 2 != 0 && odd == OddByte::Replace) out.append(kReplacement);
    return out;
}

namespace {

struct PdfDocByte {
    std::uint8_t byte;
    char16_t code_point;
};

// PDFDocEncoding where it differs from ISO-8859-1 (ISO 32000-1 Annex D.2). U+FFFD stands for
// the bytes the encoding leaves undefined.
constexpr PdfDocByte kPdfDocDifferences[] = {
    {0x18, 0x02D8}, {0x19, 0x02C7}, {0x1A, 0x02C6}, {0x1B, 0x02D9}, {0x1C, 0x02DD}, {0x1D, 0x02DB},
    {0x1E, 0x02DA}, {0x1F, 0x02DC}, {0x7F, 0xFFFD}, {0x80, 0x2022}, {0x81, 0x2020}, {0x82, 0x2021},
    {0x83, 0x2026}, {0x84, 0x2014}, {0x85, 0x2013}, {0x86, 0x0192}, {0x87, 0x2044}, {0x88, 0x2039},
    {0x89, 0x203A}, {0x8A, 0x2212}, {0x8B, 0x2030}, {0x8C, 0x201E}, {0x8D, 0x201C}, {0x8E, 0x201D},
    {0x8F, 0x2018}, {0x90, 0x2019}, {0x91, 0x201A}, {0x92, 0x2122}, {0x93, 0xFB01}, {0x94, 0xFB02},
    {0x95, 0x0141}, {0x96, 0x0152}, {0x97, 0x0160}, {0x98, 0x0178}, {0x99, 0x017D}, {0x9A, 0x0131},
    {0x9B, 0x0142}, {0x9C, 0x0153}, {0x9D, 0x0161}, {0x9E, 0x017E}, {0x9F, 0xFFFD}, {0xA0, 0x20AC},
    {0xAD, 0xFFFD},
};

constexpr std::array<char16_t, 256> pdfdoc_table() {
    std::array<char16_t, 256> table{};
    for (std::size_t b = 0; b < table.size(); ++b) table[b] = static_cast<char16_t>(b);
    for (const PdfDocByte& row : kPdfDocDifferences) table[row.byte] = row.code_point;
    return table;
}
constexpr std::array<char16_t, 256> kPdfDoc = pdfdoc_table();

}  // namespace

std::string pdfdoc_to_utf8(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::uint8_t b : bytes) append_utf8(out, kPdfDoc[b]);
    return out;
}

double round3(double x) { return std::round(x * 1000.0) / 1000.0; }

std::string hex_lower(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return out;
}

std::string hex_lower(std::uint64_t value, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0 && value != 0; --i, value >>= 4) {
        out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    }
    return out;
}

}  // namespace vorandix
