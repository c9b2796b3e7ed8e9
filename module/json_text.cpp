#include "json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "vorandix/document.hpp"

namespace vorandix::py {

namespace {

// Strings are written as Python's json module writes them with ensure_ascii=False
// (append_json_string), floats as repr() does, so that a line written here equals json.dumps
// of the same record. (The core's to_json is a compact form for tests; it writes floats with
// 17 digits.)
void append_float(std::string& out, double value) {
    if (value == 0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    // The shortest digits that read back as the same double, as repr() chooses them.
    char buf[64];
    const auto [end, ec] =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    // repr() writes positional notation for 1e-4 <= |x| < 1e16 and an exponent otherwise.
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        out.push_back(digits[0]);
        if (digits.size() > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        char exp[16];
        std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        out += exp;
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
}

void append_value(std::string& out, const DocValue& doc) {
    std::visit(
        [&out](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                out += "null";
            } else if constexpr (std::is_same_v<T, bool>) {
                out += v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, std::int64_t> ||
                                 std::is_same_v<T, std::uint64_t>) {
                out += std::to_string(v);
            } else if constexpr (std::is_same_v<T, double>) {
                append_float(out, v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                append_json_string(out, v);
            } else if constexpr (std::is_same_v<T, DocArray>) {
                out.push_back('[');
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out += ", ";
                    append_value(out, v[i]);
                }
                out.push_back(']');
            } else {
                out.push_back('{');
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out += ", ";
                    append_json_string(out, v[i].first);
                    out += ": ";
                    append_value(out, v[i].second);
                }
                out.push_back('}');
            }
        },
        doc.v);
}

}  // namespace

std::string report_json(Report&& report) {
    std::string out;
    append_value(out, to_document(std::move(report)));
    return out;
}

std::string python_float_text(double value) {
    std::string out;
    append_float(out, value);
    return out;
}

}  // namespace vorandix::py
