#include "vorandix/bytes.hpp"

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
