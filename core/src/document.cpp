#include "vorandix/document.hpp"

#include <cmath>
#include <cstdio>

#include "vorandix/bytes.hpp"

namespace vorandix {

namespace {

constexpr std::size_t kHexCut = 64;

std::string bytes_text(const Bytes& b) {
    const std::size_t n = b.data.size();
    std::string out = hex_lower(ByteView(b.data.data(), std::min(n, kHexCut)));
    if (n > kHexCut) out += "... (" + std::to_string(n) + " bytes)";
    return out;
}

bool write_double(double d, DocumentSink& sink) {
    return std::isfinite(d) ? sink.floating(d) : sink.null();
}

bool write_int(std::int64_t i, DocumentSink& sink) {
    return i >= 0 ? sink.integer(static_cast<std::uint64_t>(i)) : sink.negative(i);
}

bool write_object(MetaObject&& object, DocumentSink& sink) {
    if (!sink.begin_object(object.size())) return false;
    for (auto& [key, value] : object) {
        if (!sink.key(key) || !write_document(std::move(value), sink)) return false;
        value = MetaValue();
    }
    object = MetaObject();
    return sink.end_object();
}

// Builds the tree form of a document from the values written to it.
class TreeSink final : public DocumentSink {
public:
    bool null() override { return put({nullptr}); }
    bool boolean(bool v) override { return put({v}); }
    bool negative(std::int64_t v) override { return put({v}); }
    bool integer(std::uint64_t v) override { return put({v}); }
    bool floating(double v) override { return put({v}); }
    bool text(std::string_view v) override { return put({std::string(v)}); }
    bool begin_array(std::size_t size) override {
        DocArray a;
        a.reserve(size);
        return open({std::move(a)});
    }
    bool begin_object(std::size_t size) override {
        DocObject o;
        o.reserve(size);
        return open({std::move(o)});
    }
    bool key(std::string_view k) override {
        key_ = std::string(k);
        return true;
    }
    bool end_array() override { return close(); }
    bool end_object() override { return close(); }

    DocValue take() { return std::move(result_); }

private:
    struct Open {
        DocValue value;
        std::string key;  // the key it goes under in its parent, when that is an object
    };

    bool put(DocValue v) {
        if (open_.empty()) {
            result_ = std::move(v);
        } else if (auto* o = std::get_if<DocObject>(&open_.back().value.v)) {
            o->emplace_back(std::move(key_), std::move(v));
        } else {
            std::get<DocArray>(open_.back().value.v).push_back(std::move(v));
        }
        return true;
    }
    bool open(DocValue v) {
        open_.push_back({std::move(v), std::move(key_)});
        return true;
    }
    bool close() {
        Open done = std::move(open_.back());
        open_.pop_back();
        key_ = std::move(done.key);
        return put(std::move(done.value));
    }

    std::vector<Open> open_;
    std::string key_;
    DocValue result_;
};


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

bool write_document(MetaValue&& value, DocumentSink& sink) {
    auto& s = value.storage();
    switch (value.kind()) {
        case ValueKind::Null: return sink.null();
        case ValueKind::Bool: return sink.boolean(std::get<bool>(s));
        // A non-negative Int and a UInt of the same value are the same document integer.
        case ValueKind::Int: return write_int(std::get<std::int64_t>(s), sink);
        case ValueKind::UInt: return sink.integer(std::get<std::uint64_t>(s));
        case ValueKind::Float: return write_double(std::get<double>(s), sink);
        case ValueKind::Rational: {
            const Rational r = std::get<Rational>(s);
            return sink.begin_object(3) && sink.key("den") && write_int(r.den, sink) &&
                   sink.key("num") && write_int(r.num, sink) && sink.key("value") &&
                   write_double(r.value, sink) && sink.end_object();
        }
        case ValueKind::String: return sink.text(std::get<std::string>(s));
        case ValueKind::Bytes: return sink.text(bytes_text(std::get<Bytes>(s)));
        case ValueKind::List: {
            auto& list = std::get<MetaList>(s);
            if (!sink.begin_array(list.size())) return false;
            for (MetaValue& item : list) {
                if (!write_document(std::move(item), sink)) return false;
                item = MetaValue();
            }
            list = MetaList();
            return sink.end_array();
        }
        case ValueKind::Object: return write_object(std::move(std::get<MetaObject>(s)), sink);
    }
    return sink.null();
}

bool write_document(Report&& report, DocumentSink& sink) {
    // "errors" takes its place among the section names in byte order.
    const bool errors = !report.errors.empty();
    if (!sink.begin_object(report.sections.size() + (errors ? 1 : 0))) return false;
    bool errors_written = !errors;
    const auto write_errors = [&] {
        errors_written = true;
        if (!sink.key("errors") || !sink.begin_array(report.errors.size())) return false;
        for (const ErrorRecord& e : report.errors) {
            if (!sink.begin_object(2) || !sink.key("extractor") || !sink.text(e.extractor) ||
                !sink.key("message") || !sink.text(e.message) || !sink.end_object()) {
                return false;
            }
        }
        report.errors.clear();
        return sink.end_array();
    };
    for (auto it = report.sections.begin(); it != report.sections.end();) {
        if (!errors_written && std::string_view(it->first) > "errors" && !write_errors()) {
            return false;
        }
        if (!sink.key(it->first) || !write_object(std::move(it->second), sink)) return false;
        it = report.sections.erase(it);
    }
    if (!errors_written && !write_errors()) return false;
    return sink.end_object();
}

DocValue to_document(MetaValue&& value) {
    TreeSink sink;
    write_document(std::move(value), sink);
    return sink.take();
}

DocValue to_document(Report&& report) {
    TreeSink sink;
    write_document(std::move(report), sink);
    return sink.take();
}

void append_json_string(std::string& out, std::string_view s) {
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
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

std::string to_json(const DocValue& doc) {
    std::string out;
    append_json(out, doc);
    return out;
}

}  // namespace vorandix
