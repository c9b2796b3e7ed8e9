#include "vorandix/document.hpp"

#include <cmath>
#include <cstdio>

#include "vorandix/bytes.hpp"

namespace vorandix {

namespace {

constexpr std::size_t kHexCut = 64;

DocValue finite_or_null(double d) {
    if (std::isfinite(d)) return {d};
    return {nullptr};
}

std::string bytes_text(const Bytes& b) {
    const std::size_t n = b.data.size();
    std::string out = hex_lower(ByteView(b.data.data(), std::min(n, kHexCut)));
    if (n > kHexCut) out += "... (" + std::to_string(n) + " bytes)";
    return out;
}

DocObject object_document(MetaObject&& object) {
    DocObject out;
    out.reserve(object.size());
    for (auto& [key, value] : object) out.emplace_back(key, to_document(std::move(value)));
    return out;
}

void append_json_string(std::string& out, const std::string& s) {
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void append_json(std::string& out, const DocValue& doc) {
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
                char buf[32];
                std::snprintf(buf, sizeof buf, "%.17g", v);
                out += buf;
            } else if constexpr (std::is_same_v<T, std::string>) {
                append_json_string(out, v);
            } else if constexpr (std::is_same_v<T, DocArray>) {
                out.push_back('[');
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out.push_back(',');
                    append_json(out, v[i]);
                }
                out.push_back(']');
            } else {
                out.push_back('{');
                for (std::size_t i = 0; i < v.size(); ++i) {
                    if (i) out.push_back(',');
                    append_json_string(out, v[i].first);
                    out.push_back(':');
                    append_json(out, v[i].second);
                }
                out.push_back('}');
            }
        },
        doc.v);
}

}  // namespace

DocValue to_document(MetaValue&& value) {
    auto& s = value.storage();
    switch (value.kind()) {
        case ValueKind::Null: return {nullptr};
        case ValueKind::Bool: return {std::get<bool>(s)};
        case ValueKind::Int: {
            // A non-negative Int and a UInt of the same value are the same document integer.
            const std::int64_t i = std::get<std::int64_t>(s);
            if (i >= 0) return {static_cast<std::uint64_t>(i)};
            return {i};
        }
        case ValueKind::UInt: return {std::get<std::uint64_t>(s)};
        case ValueKind::Float: return finite_or_null(std::get<double>(s));
        case ValueKind::Rational: {
            const Rational& r = std::get<Rational>(s);
            DocObject o;
            o.emplace_back("den", to_document(MetaValue::integer(r.den)));
            o.emplace_back("num", to_document(MetaValue::integer(r.num)));
            o.emplace_back("value", finite_or_null(r.value));
            return {std::move(o)};
        }
        case ValueKind::String: return {std::move(std::get<std::string>(s))};
        case ValueKind::Bytes: return {bytes_text(std::get<Bytes>(s))};
        case ValueKind::List: {
            DocArray a;
            auto& list = std::get<MetaList>(s);
            a.reserve(list.size());
            for (MetaValue& item : list) a.push_back(to_document(std::move(item)));
            return {std::move(a)};
        }
        case ValueKind::Object: return {object_document(std::move(std::get<MetaObject>(s)))};
    }
    return {nullptr};
}

DocValue to_document(Report&& report) {
    DocObject top;
    top.reserve(report.sections.size() + 1);
    for (auto& [name, fields] : report.sections) {
        top.emplace_back(name, DocValue{object_document(std::move(fields))});
    }
    if (!report.errors.empty()) {
        DocArray errors;
        for (ErrorRecord& e : report.errors) {
            DocObject record;
            record.emplace_back("extractor", DocValue{std::move(e.extractor)});
            record.emplace_back("message", DocValue{std::move(e.message)});
            errors.push_back({std::move(record)});
        }
        // "errors" takes its place among the section names in byte order.
        auto at = top.begin();
        while (at != top.end() && at->first < "errors") ++at;
        top.emplace(at, "errors", DocValue{std::move(errors)});
    }
    return {std::move(top)};
}

std::string to_json(const DocValue& doc) {
    std::string out;
    append_json(out, doc);
    return out;
}

}  // namespace vorandix
