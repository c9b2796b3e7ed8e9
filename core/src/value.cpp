#include "vorandix/value.hpp"

#include <algorithm>

namespace vorandix {

std::optional<MetaValue> MetaObject::insert(std::string key, MetaValue value) {
    auto [it, inserted] = map_.try_emplace(std::move(key), std::move(value));
    if (inserted) return std::nullopt;
    // try_emplace left `value` untouched when the key existed.
    std::optional<MetaValue> old(std::move(it->second));
    it->second = std::move(value);
    return old;
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
    auto it = map_.find(key);
    if (it == map_.end()) {
        it = map_.emplace(std::string(key), MetaValue::object(MetaObject())).first;
    } else if (it->second.kind() != ValueKind::Object) {
        it->second = MetaValue::object(MetaObject());
    }
    return std::get<MetaObject>(it->second.storage());
}

const MetaValue* MetaObject::find(std::string_view key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
}

bool MetaObject::operator==(const MetaObject& other) const { return map_ == other.map_; }

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
