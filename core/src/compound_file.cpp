// Compound files (OLE2 structured storage): which Office application wrote one, for the sniff.
#include "compound_file.hpp"

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace vorandix {

namespace {

using namespace std::string_view_literals;

// ---------------------------------------------------------------------------------------------
// Full Unicode upper case, for ordering compound-file directory names. The tables come from
// tools/gen_unicode_upper.py.

struct UpperRun {
    char32_t first;
    std::uint16_t count;
    std::uint8_t stride;
    std::int32_t delta;
};

struct UpperExpansion {
    char32_t code_point;
    char32_t upper[3];  // zero-padded
};

#include "unicode_upper.inc"

// Writes the upper-case form of `cp` (one to three code points) to `out`; returns how many.
std::size_t upper_case(char32_t cp, char32_t* out) {
    const auto expansion =
        std::lower_bound(std::begin(kUpperExpansions), std::end(kUpperExpansions), cp,
                         [](const UpperExpansion& e, char32_t c) { return e.code_point < c; });
    if (expansion != std::end(kUpperExpansions) && expansion->code_point == cp) {
        std::size_t n = 0;
        while (n < 3 && expansion->upper[n] != 0) {
            out[n] = expansion->upper[n];
            ++n;
        }
        return n;
    }
    const auto run = std::upper_bound(std::begin(kUpperRuns), std::end(kUpperRuns), cp,
                                      [](char32_t c, const UpperRun& r) { return c < r.first; });
    out[0] = cp;
    if (run != std::begin(kUpperRuns)) {
        const UpperRun& r = *std::prev(run);
        const char32_t step = cp - r.first;
        if (step % r.stride == 0 && step / r.stride < r.count) {
            out[0] = static_cast<char32_t>(static_cast<std::int64_t>(cp) + r.delta);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------
// Compound files (OLE2 structured storage). The head is validated as if it were the whole
// file, so only small files, or ones whose sectors past the head are all free, get as far as
// their root CLSID; anything else is left to the generic compound-file row.

constexpr std::uint32_t kMaxRegular = 0xFFFFFFFA;
constexpr std::uint32_t kInvalidSector = 0xFFFFFFFB;
constexpr std::uint32_t kDifatSector = 0xFFFFFFFC;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;  // also "no entry" in directory links

constexpr std::uint8_t kRootType = 5;
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kMaxNameUnits = 31;  // 64 bytes with the terminator

struct DirEntry {
    std::array<char16_t, kMaxNameUnits> name{};
    std::size_t name_len = 0;
    std::uint8_t type = 0;
    std::uint32_t left = kFree;
    std::uint32_t right = kFree;
    std::uint32_t child = kFree;
    std::uint64_t size = 0;
    const std::uint8_t* clsid = nullptr;  // 16 bytes inside the head
};

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

bool valid_utf16(const DirEntry& e) {
    for (std::size_t i = 0; i < e.name_len; ++i) {
        if (is_high_surrogate(e.name[i])) {
            if (i + 1 == e.name_len || !is_low_surrogate(e.name[i + 1])) return false;
            ++i;
        } else if (is_low_surrogate(e.name[i])) {
            return false;
        }
    }
    return true;
}

// A name's full upper-case form; the name is well-formed UTF-16.
std::size_t upper_case_name(const DirEntry& e, std::array<char32_t, 3 * kMaxNameUnits>& out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < e.name_len; ++i) {
        char32_t cp = e.name[i];
        if (is_high_surrogate(cp)) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (e.name[++i] - 0xDC00);
        }
        n += upper_case(cp, out.data() + n);
    }
    return n;
}

// Sibling order in the directory tree: shorter names first, then the upper-case forms.
std::strong_ordering compare_names(const DirEntry& a, const DirEntry& b) {
    if (a.name_len != b.name_len) return a.name_len <=> b.name_len;
    std::array<char32_t, 3 * kMaxNameUnits> ua, ub;
    const std::size_t na = upper_case_name(a, ua);
    const std::size_t nb = upper_case_name(b, ub);
    return std::lexicographical_compare_three_way(ua.begin(), ua.begin() + na, ub.begin(),
                                                  ub.begin() + nb);
}

// Root CLSIDs as stored: first group little-endian, next two groups little-endian, rest as is.
struct OfficeClsid {
    std::string_view stored;
    Office office;
};
constexpr OfficeClsid kOfficeClsids[] = {
    // 00020810-0000-0000-C000-000000000046, 00020820-...: Excel workbooks
    {"\x10\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv, Office::excel},
    {"\x20\x08\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv, Office::excel},
    // 00020906-0000-0000-C000-000000000046: Word documents
    {"\x06\x09\x02\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46"sv, Office::word},
    // 64818D10-4F9B-11CF-86EA-00AA00B929E8: PowerPoint presentations
    {"\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8"sv, Office::powerpoint},
};

class CompoundFile {
public:
    explicit CompoundFile(ByteView head) : h_(head) {}

    Office classify() {
        if (!read_header() || !read_difat_chain() || !read_fat() || !check_fat() ||
            !read_directory() || !check_tree() || !check_minifat()) {
            return Office::none;
        }
        const std::string_view clsid(reinterpret_cast<const char*>(entries_[0].clsid), 16);
        for (const OfficeClsid& known : kOfficeClsids) {
            if (known.stored == clsid) return known.office;
        }
        return Office::none;
    }

private:
    std::uint16_t u16(std::size_t o) const { return load_u16le(h_.data() + o); }
    std::uint32_t u32(std::size_t o) const { return load_u32le(h_.data() + o); }

    // Sector k, or nullptr unless it lies wholly inside the head: a partial last sector
    // counts towards the sector count but none of it can be read.
    const std::uint8_t* sector(std::uint64_t k) const {
        if (k >= n_sectors_) return nullptr;
        const std::uint64_t start = (k + 1) * sector_size_;
        if (start + sector_size_ > h_.size()) return nullptr;
        return h_.data() + start;
    }

    // The sector after `s` in its chain: end of chain or a sector the FAT covers.
    std::optional<std::uint32_t> next(std::uint32_t s) const {
        if (s >= fat_.size()) return std::nullopt;
        const std::uint32_t v = fat_[s];
        if (v == kEndOfChain || (v <= kMaxRegular && v < fat_.size())) return v;
        return std::nullopt;
    }

    bool read_header() {
        if (h_.size() < 512) return false;
        if (u16(28) != 0xFFFE) return false;  // byte order mark
        const std::uint16_t major = u16(26);
        if (major != 3 && major != 4) return false;
        if (u16(30) != (major == 3 ? 9 : 12)) return false;
        if (u16(32) != 6 || u32(56) != 4096) return false;
        version3_ = major == 3;
        sector_size_ = version3_ ? 512 : 4096;
        if (h_.size() < sector_size_) return false;
        n_sectors_ = (h_.size() + sector_size_ - 1) / sector_size_ - 1;

        n_fat_ = u32(44);
        dir_start_ = u32(48);
        mini_start_ = u32(60);
        n_mini_ = u32(64);
        dif_start_ = u32(68);
        n_dif_ = u32(72);
        // The header's 109 DIFAT slots are used up to the first free one.
        difat_.reserve(109);
        for (std::size_t o = 76; o < 512; o += 4) {
            const std::uint32_t v = u32(o);
            if (v == kFree) break;
            if (v > kMaxRegular) return false;
            difat_.push_back(v);
        }
        return true;
    }

    bool read_difat_chain() {
        std::vector<bool> seen(n_sectors_);
        std::uint64_t count = 0;
        std::uint32_t cur = dif_start_ == kFree ? kEndOfChain : dif_start_;
        while (cur != kEndOfChain) {
            if (cur > kMaxRegular || cur >= n_sectors_ || seen[cur]) return false;
            seen[cur] = true;
            ++count;
            difat_sectors_.push_back(cur);
            const std::uint8_t* s = sector(cur);
            if (s == nullptr) return false;
            for (std::size_t o = 0; o + 4 < sector_size_; o += 4) {
                const std::uint32_t v = load_u32le(s + o);
                if (v != kFree && v > kMaxRegular) return false;
                difat_.push_back(v);
            }
            cur = load_u32le(s + sector_size_ - 4);
        }
        if (count != n_dif_) return false;
        while (!difat_.empty() && difat_.back() == kFree) difat_.pop_back();
        return difat_.size() == n_fat_;
    }

    // The FAT may hold no more entries than there are sectors. Entries past that count are
    // padding the file may carry (free entries, then zeros); they are checked here instead of
    // being kept, so a hostile DIFAT listing one sector thousands of times stays cheap.
    bool read_fat() {
        bool tail_zeros = false;
        for (const std::uint32_t f : difat_) {
            if (f >= n_sectors_) return false;
            const std::uint8_t* s = sector(f);
            if (s == nullptr) return false;
            for (std::size_t o = 0; o < sector_size_; o += 4) {
                const std::uint32_t v = load_u32le(s + o);
                if (fat_.size() < n_sectors_) {
                    fat_.push_back(v);
                } else if (v == 0) {
                    tail_zeros = true;
                } else if (v != kFree || tail_zeros) {
                    return false;
                }
            }
        }
        while (!fat_.empty() && fat_.back() == kFree) fat_.pop_back();
        return true;
    }

    bool check_fat() const {
        for (const std::uint32_t d : difat_sectors_) {
            if (d >= fat_.size() || fat_[d] != kDifatSector) return false;
        }
        for (const std::uint32_t f : difat_) {
            if (f >= fat_.size() || fat_[f] != kFatSector) return false;
        }
        // No sector may follow two others, which also keeps every chain free of loops
        // except back to its own start.
        std::vector<bool> used(fat_.size());
        for (const std::uint32_t v : fat_) {
            if (v == kInvalidSector) return false;
            if (v <= kMaxRegular) {
                if (v >= fat_.size() || used[v]) return false;
                used[v] = true;
            }
        }
        return true;
    }

    bool read_directory() {
        std::vector<bool> seen(n_sectors_);
        std::uint32_t cur = dir_start_;
        while (cur != kEndOfChain) {
            if (cur > kMaxRegular || cur >= n_sectors_ || seen[cur]) return false;
            seen[cur] = true;
            const std::uint8_t* s = sector(cur);
            if (s == nullptr) return false;
            for (std::size_t o = 0; o < sector_size_; o += kEntrySize) {
                if (!read_entry(s + o)) return false;
            }
            const auto after = next(cur);
            if (!after) return false;
            cur = *after;
        }
        return true;
    }

    // Every entry is checked, in use or not.
    bool read_entry(const std::uint8_t* p) {
        DirEntry e;
        const std::uint16_t name_bytes = load_u16le(p + 64);
        if (name_bytes > 64 || name_bytes % 2 != 0) return false;
        e.name_len = name_bytes == 0 ? 0 : name_bytes / 2 - 1;
        for (std::size_t i = 0; i < e.name_len; ++i) e.name[i] = load_u16le(p + 2 * i);
        if (!valid_utf16(e)) return false;

        e.type = p[66];
        if (e.type != 0 && e.type != 1 && e.type != 2 && e.type != kRootType) return false;
        if (e.type == kRootType) {
            // The root is known by its position, whatever name it was written with.
            constexpr std::u16string_view root = u"Root Entry";
            std::copy(root.begin(), root.end(), e.name.begin());
            e.name_len = root.size();
        } else {
            for (std::size_t i = 0; i < e.name_len; ++i) {
                const char16_t u = e.name[i];
                if (u == u'/' || u == u'\\' || u == u':' || u == u'!') return false;
            }
        }
        if (p[67] > 1) return false;  // red or black

        e.left = load_u32le(p + 68);
        e.right = load_u32le(p + 72);
        e.child = load_u32le(p + 76);
        const auto link_ok = [](std::uint32_t v) { return v == kFree || v <= kMaxRegular; };
        if (!link_ok(e.left) || !link_ok(e.right)) return false;
        if (e.child != kFree && (e.type == 2 || e.child > kMaxRegular)) return false;
        e.clsid = p + 80;
        // Version 3 files keep garbage in the size's high half.
        e.size = version3_ ? load_u32le(p + 120) : load_u64le(p + 120);
        entries_.push_back(e);
        return true;
    }

    // Walks the red-black tree from the root with an explicit stack, so a deep or looping
    // tree costs memory bounded by the entry count and never recurses.
    bool check_tree() const {
        if (entries_.empty()) return false;
        const DirEntry& root = entries_[0];
        if (root.type != kRootType || root.size % 64 != 0) return false;
        std::vector<bool> reached(entries_.size());
        std::vector<std::uint32_t> pending{0};
        reached[0] = true;
        while (!pending.empty()) {
            const std::uint32_t i = pending.back();
            pending.pop_back();
            const DirEntry& e = entries_[i];
            if (i != 0 && e.type != 1 && e.type != 2) return false;
            const struct {
                std::uint32_t to;
                int side;  // -1 left sibling (sorts before), +1 right (after), 0 child
            } links[] = {{e.left, -1}, {e.right, 1}, {e.child, 0}};
            for (const auto& link : links) {
                if (link.to == kFree) continue;
                if (link.to >= entries_.size() || reached[link.to]) return false;
                reached[link.to] = true;
                if (link.side < 0 && compare_names(entries_[link.to], e) >= 0) return false;
                if (link.side > 0 && compare_names(entries_[link.to], e) <= 0) return false;
                pending.push_back(link.to);
            }
        }
        return true;
    }

    bool check_minifat() const {
        std::vector<std::uint32_t> chain;
        std::uint32_t cur = mini_start_;
        while (cur != kEndOfChain) {
            chain.push_back(cur);
            const auto after = next(cur);
            if (!after) return false;
            cur = *after;
            // FAT values are unique (check_fat), so a chain can only loop back to its start.
            if (cur == mini_start_) return false;
        }
        if (chain.size() != n_mini_) return false;

        std::vector<std::uint32_t> minifat;
        for (const std::uint32_t k : chain) {
            const std::uint8_t* s = sector(k);
            if (s == nullptr) return false;
            for (std::size_t o = 0; o < sector_size_; o += 4) minifat.push_back(load_u32le(s + o));
        }
        while (!minifat.empty() && minifat.back() == kFree) minifat.pop_back();
        // The mini stream lives in the root entry's data, 64 bytes per mini sector.
        if (entries_[0].size / 64 < minifat.size()) return false;
        std::vector<bool> used(minifat.size());
        for (const std::uint32_t v : minifat) {
            if (v <= kMaxRegular) {
                if (v >= minifat.size() || used[v]) return false;
                used[v] = true;
            }
        }
        return true;
    }

    ByteView h_;
    bool version3_ = true;
    std::uint64_t sector_size_ = 512;
    std::uint64_t n_sectors_ = 0;
    std::uint32_t n_fat_ = 0, dir_start_ = 0, mini_start_ = 0, n_mini_ = 0;
    std::uint32_t dif_start_ = 0, n_dif_ = 0;
    std::vector<std::uint32_t> difat_;          // FAT sector numbers, header slots first
    std::vector<std::uint32_t> difat_sectors_;  // the sectors holding the DIFAT's overflow
    std::vector<std::uint32_t> fat_;
    std::vector<DirEntry> entries_;
};

}  // namespace

Office compound_file_office(ByteView head) { return CompoundFile(head).classify(); }

}  // namespace vorandix
