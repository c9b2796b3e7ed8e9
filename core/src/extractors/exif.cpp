// The "exif" extractor. Our own walkers find the EXIF blocks of each container
// (exif_blocks.cpp); exiv2 decodes those blocks, and nothing else, into fields, which are
// arranged here into one object per image file directory, with the GPS position in signed
// decimal degrees.
//
// exiv2 0.27 reads untrusted input and gets no fixes any more, so it is called defensively:
// only on a TIFF structure in a buffer of ours, with every exception caught here and its log
// muted. It never sees the container, so none of its container readers (and their faults) run,
// and the XMP toolkit only when a block carries an XMP packet of its own.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exiv2/error.hpp>
#include <exiv2/exif.hpp>
#include <exiv2/value.hpp>
#include <exiv2/xmp_exiv2.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/boxes.hpp"
#include "extractors/exif_blocks.hpp"
#include "extractors/toolkit.hpp"
#include "vorandix/limits.hpp"

// exiv2 0.27 hands values around in std::auto_ptr, which C++11 deprecated; its interface leaves
// no other way to take them.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace vorandix::extractors::exif {

namespace {

// The XMP toolkit, which exiv2 runs on an XMP packet stored in IFD0, is used by one thread at
// a time; nothing else exiv2 does here needs a lock.
std::mutex g_xmp;

void lock_xmp(void*, bool lock) {
    if (lock) {
        g_xmp.lock();
    } else {
        g_xmp.unlock();
    }
}

// exiv2's settings are process-wide: its log muted (it would print to stderr) and the XMP
// toolkit set up, once, before any thread decodes.
void init_exiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(lock_xmp, nullptr);
    });
}

// exiv2's HEIF reader descends into meta, iinf, iprp, ipco, moov and two Canon uuid boxes by
// recursion, bounded only by the input's size, and holds every level's whole payload meanwhile:
// some ten thousand nested boxes overflow the stack, which no handler can catch. Real files nest
// these boxes three or four deep, so a deeper input is refused before exiv2 sees it.
constexpr std::size_t kMaxBoxDepth = 8;

// The offset of the first child inside a box exiv2 descends into, past the box's own fields;
// nothing for a box it reads as a whole. `uuid` holds the first bytes of the payload.
std::optional<std::uint64_t> children_at(const Box& box, ByteView uuid) {
    static constexpr std::string_view kCanonUuid(
        "\x85\xC0\xB6\x87\x82\x0F\x11\xE0\x81\x11\xF4\xCE\x46\x2B\x6A\x48", 16);
    static constexpr std::string_view kCanonPreviewUuid(
        "\xEA\xF4\x2B\x5E\x1C\x98\x4B\x88\xB9\xFB\xB7\xDC\x40\x6E\x4D\x16", 16);
    if (box.is("moov") || box.is("iprp") || box.is("ipco")) return box.header;
    if (box.is("meta")) return box.header + 4;  // version and flags
    if (box.is("iinf")) return box.header + 6;  // version, flags and a 16-bit count
    if (box.is("uuid")) {
        if (has_at(uuid, 0, kCanonUuid)) return box.header + 16;
        if (has_at(uuid, 0, kCanonPreviewUuid)) return box.header + 24;
    }
    return std::nullopt;
}

// Whether the boxes exiv2 descends into nest deeper than kMaxBoxDepth. Walks them as exiv2
// does, with an explicit stack; a box that does not fit its parent ends that level, as exiv2
// reads no further there either.
bool boxes_nest_too_deep(Input& in) {
    struct Level {
        std::uint64_t pos, end;
    };
    std::vector<Level> levels{{0, in.size()}};
    while (!levels.empty()) {
        const Level level = levels.back();
        const auto box = next_box(in, level.pos, level.end, ZeroSize::Invalid);
        if (!box) {
            levels.pop_back();
            continue;
        }
        levels.back().pos += box->size;
        const auto children = children_at(*box, in.at(box->payload(), 16));
        if (!children || *children > box->size) continue;
        if (levels.size() > kMaxBoxDepth) return true;
        levels.push_back({level.pos + *children, box->end()});
    }
    return false;
}

// Blocks up to this size are handed to exiv2 whole, as they are; larger ones (a TIFF file, an
// outsized chunk) are read sparsely: only the directories and the values they point to.
constexpr std::uint64_t kWholeBlock = std::uint64_t{4} << 20;

// The bytes exiv2 decodes for one block.
class TiffBuffer {
public:
    TiffBuffer() = default;
    TiffBuffer(const TiffBuffer&) = delete;
    TiffBuffer& operator=(const TiffBuffer&) = delete;
    ~TiffBuffer() {
        if (map_ != nullptr) ::munmap(map_, map_size_);
    }

    // Fills the buffer for `block`; false when there is nothing to decode.
    bool build(Input& in, const Block& block) {
        if (block.made) {
            view_ = ByteView(block.bytes);
        } else if (block.length <= kWholeBlock) {
            const auto length = static_cast<std::size_t>(block.length);
            if (in.memory()) {
                view_ = in.at(block.offset, length);
            } else {
                const ByteView v = in.at(block.offset, length);
                owned_.assign(v.begin(), v.end());
                view_ = ByteView(owned_);
            }
        } else {
            sparse(in, block);
        }
        return !view_.empty();
    }

    const std::uint8_t* data() const { return view_.data(); }
    std::uint32_t size() const { return static_cast<std::uint32_t>(view_.size()); }

    // Whether IFD0 holds an XMP packet (tag 0x02bc), which exiv2 hands to the XMP toolkit.
    bool carries_xmp() const {
        Fields h(view_);
        const ByteView order = h.bytes(2);
        const bool little = has_at(order, 0, "II");
        const std::uint64_t ifd0 = h.skip(2).u32(little);
        if (!h.ok() || ifd0 > view_.size() - 2) return false;
        Fields f(view_.subspan(static_cast<std::size_t>(ifd0)));
        const std::uint16_t count = f.u16(little);
        for (std::uint16_t i = 0; i < count && f.ok(); ++i) {
            if (f.u16(little) == 0x02bc && f.ok()) return true;
            f.skip(10);
        }
        return false;
    }

private:
    // A buffer the size of the block in which only the directories exiv2 follows and the
    // values of their entries are filled; the rest is never touched, so it costs nothing. A
    // value above limits::kExifValueBytes is shortened to it (its count rewritten), and once
    // limits::kExifBlockBytes have been taken further values are left out (count 0).
    void sparse(Input& in, const Block& block) {
        map_size_ = static_cast<std::size_t>(
            std::min<std::uint64_t>(block.length, UINT32_MAX));  // exiv2 takes 32-bit sizes
        void* map = ::mmap(nullptr, map_size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (map == MAP_FAILED) return;
        map_ = map;
        auto* buf = static_cast<std::uint8_t*>(map_);
        const std::uint64_t size = map_size_;
        const auto fill = [&](std::uint64_t at, std::uint64_t n) {
            n = std::min(n, size - std::min(at, size));
            for (std::uint64_t done = 0; done < n;) {
                const ByteView v = in.at(block.offset + at + done,
                                         static_cast<std::size_t>(std::min<std::uint64_t>(
                                             n - done, std::uint64_t{1} << 22)));
                if (v.empty()) return;
                std::memcpy(buf + at + done, v.data(), v.size());
                done += v.size();
            }
        };
        fill(0, 8);
        view_ = ByteView(buf, map_size_);
        Fields h(ByteView(buf, 8));
        const bool little = has_at(h.bytes(2), 0, "II");
        const std::uint64_t ifd0 = h.skip(2).u32(little);

        struct Ifd {
            std::uint64_t offset;
            const char* dir;  // the section key its fields go to, or null
            int chain;        // its place in the IFD0, IFD1, ... chain, or -1
        };
        static constexpr const char* kChain[] = {"primary", "thumbnail", "ifd2", "ifd3"};
        std::vector<Ifd> pending{{ifd0, kChain[0], 0}};
        std::vector<std::uint64_t> visited;
        std::uint64_t taken = 0;
        const auto u16 = [&](std::uint64_t at) { return Fields(ByteView(buf + at, 2)).u16(little); };
        const auto u32 = [&](std::uint64_t at) { return Fields(ByteView(buf + at, 4)).u32(little); };
        const auto put32 = [&](std::uint64_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) {
                buf[at + i] = static_cast<std::uint8_t>(little ? v >> (8 * i) : v >> (24 - 8 * i));
            }
        };
        // Directories to follow at most: real files have a handful.
        constexpr std::size_t kMaxIfds = 256;
        while (!pending.empty() && visited.size() < kMaxIfds) {
            const Ifd ifd = pending.back();
            pending.pop_back();
            if (ifd.offset > size - 2 ||
                std::find(visited.begin(), visited.end(), ifd.offset) != visited.end()) {
                continue;
            }
            visited.push_back(ifd.offset);
            fill(ifd.offset, 2);
            const std::uint64_t count = u16(ifd.offset);
            const std::uint64_t table = ifd.offset + 2;
            fill(table, 12 * count + 4);
            for (std::uint64_t i = 0; i < count && table + 12 * i + 12 <= size; ++i) {
                const std::uint64_t e = table + 12 * i;
                const std::uint16_t tag = u16(e);
                const std::uint16_t type = u16(e + 2);
                const std::uint64_t n = u32(e + 4);
                static constexpr std::uint8_t kTypeSize[] = {1, 1, 1, 2, 4, 8, 1, 1, 2,
                                                             4, 8, 4, 8, 4, 1, 1, 8, 8, 8};
                const std::uint64_t unit = type < std::size(kTypeSize) ? kTypeSize[type] : 1;
                const std::uint64_t bytes = n * unit;  // below 2^35: no wrap
                std::uint64_t at = e + 8;
                if (bytes > 4) {
                    at = u32(e + 8);
                    std::uint64_t take = std::min(bytes, at < size ? size - at : 0);
                    if (take > limits::kExifValueBytes) {
                        take = limits::kExifValueBytes / unit * unit;
                        put32(e + 4, static_cast<std::uint32_t>(take / unit));
                    }
                    if (taken + take > limits::kExifBlockBytes) {
                        put32(e + 4, 0);
                        if (ifd.dir) in.cut(ifd.dir, limits::kExifBlockBytes);
                        continue;
                    }
                    taken += take;
                    fill(at, take);
                }
                // The directories exiv2 follows from an entry: Exif, GPS, Interoperability
                // (their fields describe the primary image) and SubIFDs (not reported).
                const bool pointer = type == 4 || type == 13;
                if (pointer && (tag == 0x8769 || tag == 0x8825 || tag == 0xa005)) {
                    if (at + 4 <= size) pending.push_back({u32(at), ifd.dir, -1});
                } else if (pointer && tag == 0x014a) {
                    for (std::uint64_t k = 0; k < std::min<std::uint64_t>(n, 64); ++k) {
                        if (at + 4 * k + 4 <= size) pending.push_back({u32(at + 4 * k), nullptr, -1});
                    }
                }
            }
            const std::uint64_t next_at = table + 12 * count;
            if (ifd.chain >= 0 && next_at + 4 <= size) {
                const std::uint32_t next = u32(next_at);
                const int chain = ifd.chain + 1;
                if (next != 0) {
                    pending.push_back({next, chain < 4 ? kChain[chain] : nullptr, chain});
                }
            }
        }
    }

    ByteView view_;
    std::vector<std::uint8_t> owned_;
    void* map_ = nullptr;
    std::size_t map_size_ = 0;
};

void decode_into(Exiv2::ExifData& exif, const TiffBuffer& buffer) {
    if (buffer.carries_xmp()) {
        const std::lock_guard<std::mutex> lock(g_xmp);
        Exiv2::ExifParser::decode(exif, buffer.data(), buffer.size());
    } else {
        Exiv2::ExifParser::decode(exif, buffer.data(), buffer.size());
    }
}

// Where a field of an exiv2 group belongs: the section key of its image file directory and the
// name of its tag context for tags exiv2 has no name for. The Exif, GPS and Interoperability
// directories hang off IFD0, so their fields describe the primary image. exiv2 follows the
// chain of directories up to IFD3. Groups not listed here are not directories of the chain:
// maker-note contents exiv2 decodes, and SubIFDs, whose tags would overwrite IFD0's.
struct Directory {
    const char* key;
    const char* context;
};

std::optional<Directory> directory_of(const std::string& group) {
    if (group == "Image") return Directory{"primary", "Tiff"};
    if (group == "Photo") return Directory{"primary", "Exif"};
    if (group == "GPSInfo") return Directory{"primary", "Gps"};
    if (group == "Iop") return Directory{"primary", "Interop"};
    if (group == "Thumbnail") return Directory{"thumbnail", "Tiff"};
    if (group == "Image2") return Directory{"ifd2", "Tiff"};
    if (group == "Image3") return Directory{"ifd3", "Tiff"};
    return std::nullopt;
}

std::string tag_key(const Exiv2::Exifdatum& field, const char* context) {
    std::string name = field.tagName();
    // exiv2 names a tag it does not know by its number in hex ("0xea1c").
    if (name.starts_with("0x")) {
        return std::string("Tag(") + context + ", " + std::to_string(field.tag()) + ")";
    }
    return name;
}

// Degrees, minutes and seconds as three unsigned rationals, in decimal degrees, negated for a
// reference of exactly "S" or "W". Absent unless the field has that type and three values. A
// zero denominator is left to give an infinite or NaN value, which the report shows as null.
std::optional<double> coordinate(const Exiv2::Exifdatum* field, const Exiv2::Exifdatum* ref) {
    if (field == nullptr || field->typeId() != Exiv2::unsignedRational) return std::nullopt;
    const auto* rationals = dynamic_cast<const Exiv2::URationalValue*>(&field->value());
    if (rationals == nullptr || rationals->value_.size() < 3) return std::nullopt;
    const auto& v = rationals->value_;
    const auto ratio = [](const Exiv2::URational& r) {
        return static_cast<double>(r.first) / static_cast<double>(r.second);
    };
    const double a = ratio(v[0]);
    const double b = ratio(v[1]) / 60;
    const double c = ratio(v[2]) / 3600;
    const double value = c + (b + a);

    bool negative = false;
    if (ref != nullptr && ref->typeId() == Exiv2::asciiString) {
        // An ASCII value may hold several NUL-separated strings; the first is the reference.
        const std::string text = ref->value().toString();
        const std::string_view first(text.data(), std::min(text.size(), text.find('\0')));
        negative = first == "S" || first == "W";
    }
    return value * (negative ? -1.0 : 1.0);
}

// The field's rendering by exiv2. A value too long for the text the section may still take is
// printed from its first elements only, enough to fill that room; the text is cut there anyway.
std::string print_field(const Exiv2::Exifdatum& field, const Exiv2::ExifData& exif,
                        std::size_t room) {
    const long size = field.size();
    if (size <= 0 || static_cast<std::size_t>(size) <= room) return field.print(&exif);
    std::vector<Exiv2::byte> raw(static_cast<std::size_t>(size));
    field.copy(raw.data(), Exiv2::littleEndian);
    const long unit = std::max(1L, size / std::max(1L, field.count()));
    const long prefix = std::min(size, static_cast<long>(room / unit + 1) * unit);
    Exiv2::Value::AutoPtr value = Exiv2::Value::create(field.typeId());
    value->read(raw.data(), prefix, Exiv2::littleEndian);
    Exiv2::Exifdatum shortened(field);
    shortened.setValue(value.get());
    return shortened.print(&exif);
}

void render(Input& in, const Exiv2::ExifData& exif, Section& section) {
    static constexpr const char* kDirs[] = {"primary", "thumbnail", "ifd2", "ifd3"};
    std::vector<MetaObject::Entry> fields[std::size(kDirs)];
    // The last of repeated fields, as for the directory objects, where a later one replaces.
    const Exiv2::Exifdatum* gps[5] = {};
    for (const Exiv2::Exifdatum& field : exif) {
        const std::string group = field.groupName();
        const auto dir = directory_of(group);
        if (!dir) continue;
        const auto d = static_cast<std::size_t>(
            std::find_if(std::begin(kDirs), std::end(kDirs),
                         [&](const char* k) { return std::string_view(k) == dir->key; }) -
            std::begin(kDirs));
        if (!in.admit(dir->key, fields[d].size())) break;
        if (group == "GPSInfo" && field.tag() >= 1 && field.tag() <= 4) gps[field.tag()] = &field;
        std::string key = tag_key(field, dir->context);
        std::string text = in.keep_text(std::string(dir->key) + "." + key,
                                        utf8_lossy(print_field(field, exif, in.text_room())));
        fields[d].emplace_back(std::move(key), MetaValue::string(std::move(text)));
        if (in.was_cut()) break;
    }
    for (std::size_t d = 0; d < std::size(kDirs); ++d) {
        if (!fields[d].empty()) {
            section.insert_object(kDirs[d], MetaObject::from_entries(std::move(fields[d])));
        }
    }
    const auto latitude = coordinate(gps[2], gps[1]);
    const auto longitude = coordinate(gps[4], gps[3]);
    if (latitude && longitude) {
        MetaObject position;
        position.insert("latitude", MetaValue::floating(*latitude));
        position.insert("longitude", MetaValue::floating(*longitude));
        section.insert_object("gps_decimal", std::move(position));
    }
}

// Replays a container's steps; returns the failure that stopped them, if any.
std::optional<std::string> replay(Input& in, const Steps& located, Exiv2::ExifData& exif,
                                  bool& cleared) {
    for (const Step& step : located.steps) {
        if (in.failed()) return std::nullopt;
        switch (step.kind) {
            case Step::Kind::Decode: {
                TiffBuffer buffer;
                if (buffer.build(in, step.block) && !in.failed()) decode_into(exif, buffer);
                break;
            }
            case Step::Kind::DecodeIfNone: {
                if (!exif.empty()) break;
                Profile profile = raw_profile(step.block.bytes);
                if (profile.kind == Profile::Kind::Fail) return profile.message;
                if (profile.kind == Profile::Kind::Headerless) {
                    cleared = true;
                    exif.clear();
                } else if (profile.kind == Profile::Kind::Tiff) {
                    Block block;
                    block.made = true;
                    block.bytes = std::move(profile.tiff);
                    TiffBuffer buffer;
                    if (buffer.build(in, block)) decode_into(exif, buffer);
                }
                break;
            }
            case Step::Kind::Clear:
                cleared = true;
                exif.clear();
                break;
            case Step::Kind::Fail:
                return step.message;
        }
    }
    return std::nullopt;
}

}  // namespace

bool applies(const ExtractContext& ctx) {
    if (!ctx.mime_type) return false;
    const std::string_view t = *ctx.mime_type;
    return t == "image/png" || t == "image/jpeg" || t == "image/tiff" || t == "image/heif" ||
           t == "image/heic" || t == "image/webp";
}

// No EXIF block: no section and no error. A broken block: exiv2's message, unless fields were
// decoded before it broke, which are kept. An I/O failure: its text, as exiv2 would give it.
ExtractResult extract(Input& in, Section section) {
    init_exiv2();
    const std::string_view mime_type = in.context().mime_type.value_or("");
    const bool heif = mime_type == "image/heif" || mime_type == "image/heic";
    if (heif && boxes_nest_too_deep(in) && !in.failed()) {
        return ExtractError::other(Exiv2::Error(Exiv2::kerCorruptedMetadata).what());
    }
    const Steps located = in.failed() ? Steps{} : locate(in, mime_type);
    if (in.failed()) return ExtractError::other(in.failure()->message);
    if (located.not_container) return ExtractError::other("Unknown image format");

    Exiv2::ExifData exif;
    bool cleared = false;
    std::optional<std::string> failure;
    try {
        failure = replay(in, located, exif, cleared);
    } catch (const Exiv2::AnyError& e) {
        failure = e.what();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "unexpected failure while reading EXIF data";
    }
    if (in.failed()) return ExtractError::other(in.failure()->message);
    if (exif.empty()) {
        if (failure) return ExtractError::other(std::move(*failure));
        if (cleared) return ExtractError::other(std::string(kUndecodable));
        return section;
    }
    try {
        render(in, exif, section);
    } catch (const Exiv2::AnyError& e) {
        return ExtractError::other(e.what());
    } catch (const std::exception& e) {
        return ExtractError::other(e.what());
    } catch (...) {
        return ExtractError::other("unexpected failure while reading EXIF data");
    }
    return section;
}

}  // namespace vorandix::extractors::exif
