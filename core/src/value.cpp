#include "vorandix/value.hpp"

#include <algorithm>

namespace vorandix {

std::vector<MetaObject::Entry>::iterator MetaObject::lower(std::string_view key) {
    return std::lower_bound(entries_.begin(), entries_.end(), key,
                            [](const Entry& e, std::string_view k) { return e.first < k; });
}

MetaObject MetaObject::from_entries(std::vector<Entry> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.first < b.first; });
    MetaObject out;
    out.entries_.reserve(entries.size());
    for (Entry& e : entries) {
        // Equal keys are adjacent in their original order: each replaces the one before.
        if (!out.entries_.empty() && out.entries_.back().first == e.first) {
            out.entries_.back().second = std::move(e.second);
        } else {
            out.entries_.push_back(std::move(e));
        }
    }
    return out;
}

std::optional<MetaValue> MetaObject::insert(std::string key, MetaValue value) {
    if (entries_.empty() || entries_.back().first < key) {
        entries_.emplace_back(std::move(key), std::move(value));
        return std::nullopt;
    }
    auto it = lower(key);
    if (it != entries_.end() && it->first == key) {
        std::optional<MetaValue> old(std::move(it->second));
        it->second = std::move(value);
        return old;
    }
    entries_.emplace(it, std::move(key), std::move(value));
    return std::nullopt;
}

void MetaObject::insert_string(std::string key, std::string text) {
    insert(std::move(key), MetaValue::string(std::move(text)));
}
void MetaObject::insert_u64(std::string key, std::uint64_t v) {
    insert(std::move(key), MetaValue::uinteger(v));
}
void MetaObject::insert_bool(std::string key, bool v) {
    insert(std::move(key), MetaValue::boolean(v));
}
void MetaObject::insert_list(std::string key, MetaList list) {
    insert(std::move(key), MetaValue::list(std::move(list)));
}
void MetaObject::insert_object(std::string key, MetaObject object) {
    insert(std::move(key), MetaValue::object(std::move(object)));
}

MetaObject& MetaObject::object_at(std::string_view key) {
    auto it = lower(key);
    if (it == entries_.end() || it->first != key) {
        it = entries_.emplace(it, std::string(key), MetaValue::object(MetaObject()));
    } else if (it->second.kind() != ValueKind::Object) {
        it->second = MetaValue::object(MetaObject());
    }
    return std::get<MetaObject>(it->second.storage());
}

const MetaValue* MetaObject::find(std::string_view key) const {
    auto it = const_cast<MetaObject*>(this)->lower(key);
    return it == entries_.end() || it->first != key ? nullptr : &it->second;
}

bool MetaObject::operator==(const MetaObject& other) const { return entries_ == other.entries_; }

Report assemble(std::vector<Section> sections, std::vector<ErrorRecord> errors) {
    std::stable_sort(sections.begin(), sections.end(), [](const Section& a, const Section& b) {
        return std::string_view(a.name) < std::string_view(b.name);
    });
    Report report;
    for (Section& s : sections) report.sections[s.name] = std::move(s.fields);
    report.errors = std::move(errors);
    return report;
}

}  // namespace vorandix
