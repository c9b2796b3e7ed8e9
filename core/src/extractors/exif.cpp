// The "exif" reader. exiv2 finds the EXIF block inside the container and decodes its image file
// directories; this reader arranges the decoded fields into one object per directory and adds
// the GPS position in signed decimal degrees.
//
// exiv2 0.27 reads untrusted input and gets no fixes any more, so it is called defensively:
// only for the containers the sniff named, always through InputIo below (a string handed to
// exiv2 may be taken for a URL, a data: URI or standard input), with every exception caught
// here, and with its log captured rather than printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exiv2/basicio.hpp>
#include <exiv2/bmffimage.hpp>
#include <exiv2/error.hpp>
#include <exiv2/exif.hpp>
#include <exiv2/image.hpp>
#include <exiv2/jpgimage.hpp>
#include <exiv2/pngimage.hpp>
#include <exiv2/tiffimage.hpp>
#include <exiv2/value.hpp>
#include <exiv2/webpimage.hpp>
#include <exiv2/xmp_exiv2.hpp>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "extractors/extractors.hpp"

// exiv2 0.27 hands images and I/O objects around in std::auto_ptr, which C++11 deprecated;
// its interface leaves no other way to pass them.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace vorandix {

namespace {

// exiv2 tells of what it skipped or could not decode only through its log. Nothing of it is
// printed; the one message that changes the outcome is noted for the call on this thread.
struct LogCapture {
    bool exif_undecodable = false;
};

thread_local LogCapture* t_capture = nullptr;

// Logged (instead of thrown) when a WebP EXIF chunk or a PNG text profile holds no valid TIFF
// header; the other containers throw for the same fault.
constexpr std::string_view kExifUndecodable = "Failed to decode Exif metadata.";

// The handler that was installed before ours. Each extension module of the package links its
// own copy of this engine, with its own t_capture, while exiv2 keeps one handler for the whole
// process: a message logged during another copy's call is that copy's to capture.
Exiv2::LogMsg::Handler g_previous_handler = nullptr;

void capture_log(int level, const char* text) {
    if (t_capture == nullptr) {
        if (g_previous_handler != nullptr && g_previous_handler != Exiv2::LogMsg::defaultHandler)
            g_previous_handler(level, text);
        return;
    }
    if (level < Exiv2::LogMsg::warn || text == nullptr) return;
    std::string_view message(text);
    while (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    if (message == kExifUndecodable) t_capture->exif_undecodable = true;
}

class CaptureScope {
public:
    explicit CaptureScope(LogCapture& capture) : saved_(t_capture) { t_capture = &capture; }
    CaptureScope(const CaptureScope&) = delete;
    CaptureScope& operator=(const CaptureScope&) = delete;
    ~CaptureScope() { t_capture = saved_; }

private:
    LogCapture* saved_;
};

// exiv2's settings are process-wide and its XMP toolkit must be set up before two threads can
// reach it, so all of it happens once, before the first read.
void init_exiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_previous_handler = Exiv2::LogMsg::handler();
        Exiv2::LogMsg::setHandler(capture_log);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::warn);
        Exiv2::XmpParser::initialize();
        Exiv2::enableBMFF(true);
    });
}

// The input as exiv2 sees it. It lives in the extract call's frame, outside the I/O object
// exiv2 owns (and may destroy early), so that a read failure can still be reported afterwards.
struct Input {
    explicit Input(ByteSource& s) : source(s), memory(s.view()) {}

    ByteSource& source;
    std::optional<ByteView> memory;  // the caller's buffer, read in place
    std::uint64_t size = 0;
    // Where the source stands, so that sequential reads need no seek (a seek empties the file
    // source's buffer).
    std::optional<std::uint64_t> source_pos;
    // The whole file, read once when exiv2 asks to map it; later reads are served from it.
    std::vector<std::uint8_t> mapped;
    bool is_mapped = false;
    std::optional<IoError> failure;  // the first I/O failure
};

// A read-only Exiv2::BasicIo over the engine's source. Positions follow exiv2's MemIo: a seek
// past the end fails and sets eof, which exiv2's readers rely on to notice bad offsets.
class InputIo final : public Exiv2::BasicIo {
public:
    explicit InputIo(Input& input) : in_(input) {}

    int open() override {
        pos_ = 0;
        eof_ = false;
        return 0;
    }
    int close() override { return 0; }

    long write(const Exiv2::byte*, long) override { return 0; }
    long write(Exiv2::BasicIo&) override { return 0; }
    int putb(Exiv2::byte) override { return EOF; }
    void transfer(Exiv2::BasicIo&) override {
        throw Exiv2::Error(Exiv2::kerErrorMessage, "the input is read-only");
    }

    Exiv2::DataBuf read(long rcount) override {
        // Allocate for what the input holds, not for what a length field claimed.
        Exiv2::DataBuf buf(static_cast<long>(std::min<std::uint64_t>(
            static_cast<std::uint64_t>(std::max(rcount, 0L)), remaining())));
        const long got = read_into(buf.pData_, buf.size_, rcount);
        buf.size_ = got;
        return buf;
    }
    long read(Exiv2::byte* buf, long rcount) override { return read_into(buf, rcount, rcount); }
    int getb() override {
        Exiv2::byte b = 0;
        return read_into(&b, 1, 1) == 1 ? b : EOF;
    }

    int seek(long offset, Position whence) override {
        std::int64_t base = 0;
        if (whence == cur) base = static_cast<std::int64_t>(pos_);
        if (whence == end) base = static_cast<std::int64_t>(in_.size);
        std::int64_t target;
        if (__builtin_add_overflow(base, static_cast<std::int64_t>(offset), &target) ||
            target < 0) {
            return 1;
        }
        if (static_cast<std::uint64_t>(target) > in_.size) {
            eof_ = true;
            return 1;
        }
        pos_ = static_cast<std::uint64_t>(target);
        eof_ = false;
        return 0;
    }

    Exiv2::byte* mmap(bool writeable) override {
        if (writeable) throw Exiv2::Error(Exiv2::kerErrorMessage, "the input is read-only");
        if (in_.memory) return const_cast<Exiv2::byte*>(in_.memory->data());
        if (!in_.is_mapped) {
            // Zero-filled first: should the file shrink meanwhile, exiv2 still never reads
            // past the size it was told.
            in_.mapped.assign(static_cast<std::size_t>(in_.size), 0);
            in_.source_pos.reset();
            auto pos = in_.source.seek(0, Whence::Start);
            if (!pos) fail(pos.error());
            auto got = in_.source.read_up_to(in_.mapped.data(), in_.mapped.size());
            if (!got) fail(got.error());
            in_.is_mapped = true;
        }
        return in_.mapped.data();
    }
    int munmap() override { return 0; }

    long tell() const override { return static_cast<long>(pos_); }
    std::size_t size() const override { return static_cast<std::size_t>(in_.size); }
    bool isopen() const override { return true; }
    int error() const override { return in_.failure ? 1 : 0; }
    bool eof() const override { return eof_; }
    // Only ever used in exiv2's error texts.
    std::string path() const override { return "input"; }

private:
    std::uint64_t remaining() const { return pos_ < in_.size ? in_.size - pos_ : 0; }

    // Copies up to `capacity` bytes of the `requested` ones into `buf`; asking beyond the end
    // sets eof, as exiv2 expects.
    long read_into(Exiv2::byte* buf, long capacity, long requested) {
        if (requested <= 0 || capacity <= 0) return 0;
        const std::uint64_t avail = remaining();
        if (static_cast<std::uint64_t>(requested) > avail) eof_ = true;
        auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(capacity), avail));
        if (n == 0) return 0;
        if (in_.memory) {
            std::memcpy(buf, in_.memory->data() + pos_, n);
        } else if (in_.is_mapped) {
            std::memcpy(buf, in_.mapped.data() + pos_, n);
        } else {
            if (in_.source_pos != pos_) {
                in_.source_pos.reset();
                auto moved = in_.source.seek(static_cast<std::int64_t>(pos_), Whence::Start);
                if (!moved) fail(moved.error());
            }
            auto got = in_.source.read_up_to(buf, n);
            if (!got) fail(got.error());
            // A file that shrank since its size was taken simply ends early.
            if (*got < n) eof_ = true;
            n = *got;
            in_.source_pos = pos_ + n;
        }
        pos_ += n;
        return static_cast<long>(n);
    }

    // exiv2 does not always check what a read returned; an exception stops it at once.
    [[noreturn]] void fail(const IoError& error) {
        in_.source_pos.reset();
        if (!in_.failure) in_.failure = error;
        throw Exiv2::Error(Exiv2::kerErrorMessage, error.message);
    }

    Input& in_;
    std::uint64_t pos_ = 0;
    bool eof_ = false;
};

// The exiv2 reader for a sniffed type, when exiv2 recognises the input as that container. Only
// these five readers ever see the input: exiv2's own probing would also try its video and
// other readers on whatever they match.
Exiv2::Image::AutoPtr open_image(std::string_view mime_type, Input& input) {
    Exiv2::BasicIo::AutoPtr io(new InputIo(input));
    Exiv2::Image* image = nullptr;
    if (mime_type == "image/jpeg") {
        if (Exiv2::isJpegType(*io, false)) image = new Exiv2::JpegImage(io, false);
    } else if (mime_type == "image/png") {
        if (Exiv2::isPngType(*io, false)) image = new Exiv2::PngImage(io, false);
    } else if (mime_type == "image/tiff") {
        if (Exiv2::isTiffType(*io, false)) image = new Exiv2::TiffImage(io, false);
    } else if (mime_type == "image/webp") {
        if (Exiv2::isWebPType(*io, false)) image = new Exiv2::WebPImage(io);
    } else {  // image/heif, image/heic
        if (Exiv2::isBmffType(*io, false)) image = new Exiv2::BmffImage(io, false);
    }
    return Exiv2::Image::AutoPtr(image);
}

// exiv2's HEIF reader descends into meta, iinf, iprp, ipco, moov and two Canon uuid boxes by
// recursion, bounded only by the input's size, and holds every level's whole payload meanwhile:
// some ten thousand nested boxes overflow the stack, which no handler can catch. Real files nest
// these boxes three or four deep, so a deeper input is refused before exiv2 sees it.
constexpr std::size_t kMaxBoxDepth = 8;

// The offset of the first child inside a box exiv2 descends into, past the box's own fields;
// nothing for a box it reads as a whole. `box` holds the header and what follows, cut short at
// the end of the input.
std::optional<std::uint64_t> children_at(ByteView box, std::uint64_t header) {
    static constexpr std::string_view kCanonUuid(
        "\x85\xC0\xB6\x87\x82\x0F\x11\xE0\x81\x11\xF4\xCE\x46\x2B\x6A\x48", 16);
    static constexpr std::string_view kCanonPreviewUuid(
        "\xEA\xF4\x2B\x5E\x1C\x98\x4B\x88\xB9\xFB\xB7\xDC\x40\x6E\x4D\x16", 16);
    if (has_at(box, 4, "moov") || has_at(box, 4, "iprp") || has_at(box, 4, "ipco")) return header;
    if (has_at(box, 4, "meta")) return header + 4;  // version and flags
    if (has_at(box, 4, "iinf")) return header + 6;  // version, flags and a 16-bit count
    if (has_at(box, 4, "uuid")) {
        if (has_at(box, header, kCanonUuid)) return header + 16;
        if (has_at(box, header, kCanonPreviewUuid)) return header + 24;
    }
    return std::nullopt;
}

// Whether the boxes exiv2 descends into nest deeper than kMaxBoxDepth. Walks them as exiv2
// does, with an explicit stack; a box that does not fit its parent ends that level, as exiv2
// reads no further there either.
IoResult<bool> boxes_nest_too_deep(ByteSource& source) {
    RandomAccess input(source);
    auto size = input.size();
    if (!size) return size.error();
    struct Level {
        std::uint64_t pos, end;
    };
    std::vector<Level> levels{{0, *size}};
    while (!levels.empty()) {
        const Level level = levels.back();
        if (level.end - level.pos < 8) {
            levels.pop_back();
            continue;
        }
        auto view = input.at(level.pos, 48);
        if (!view) return view.error();
        const ByteView box = *view;
        std::uint64_t length = load_u32be(box.data());
        std::uint64_t header = 8;
        if (length == 1 && box.size() >= 16) {
            length = load_u64be(box.data() + 8);
            header = 16;
        }
        if (length < header || length > level.end - level.pos) {
            levels.pop_back();
            continue;
        }
        levels.back().pos += length;
        const auto children = children_at(box, header);
        if (!children || *children > length) continue;
        if (levels.size() > kMaxBoxDepth) return true;
        levels.push_back({level.pos + *children, level.pos + length});
    }
    return false;
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

Section build_section(const Exiv2::ExifData& exif) {
    Section section("exif");
    // The last of repeated fields, as for the directory objects, where a later one replaces.
    const Exiv2::Exifdatum* gps[5] = {};
    for (const Exiv2::Exifdatum& field : exif) {
        const std::string group = field.groupName();
        const auto dir = directory_of(group);
        if (!dir) continue;
        if (group == "GPSInfo" && field.tag() >= 1 && field.tag() <= 4) gps[field.tag()] = &field;
        section.fields.object_at(dir->key).insert_string(tag_key(field, dir->context),
                                                         utf8_lossy(field.print(&exif)));
    }
    const auto latitude = coordinate(gps[2], gps[1]);
    const auto longitude = coordinate(gps[4], gps[3]);
    if (latitude && longitude) {
        MetaObject position;
        position.insert("latitude", MetaValue::floating(*latitude));
        position.insert("longitude", MetaValue::floating(*longitude));
        section.insert_object("gps_decimal", std::move(position));
    }
    return section;
}

class ExifExtractor final : public Extractor {
public:
    const char* name() const override { return "exif"; }

    bool applies(const ExtractContext& ctx) const override {
        if (!ctx.mime_type) return false;
        const std::string_view t = *ctx.mime_type;
        return t == "image/png" || t == "image/jpeg" || t == "image/tiff" || t == "image/heif" ||
               t == "image/heic" || t == "image/webp";
    }

    ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const override {
        init_exiv2();
        Input input(source);
        LogCapture capture;
        const CaptureScope scope(capture);
        if (input.memory) {
            input.size = input.memory->size();
        } else {
            auto end = source.seek(0, Whence::End);
            if (!end) return ExtractError::other(end.error().message);
            input.size = *end;
        }
        // Declared outside the try so that fields decoded before a later failure survive it.
        Exiv2::Image::AutoPtr image;
        try {
            const std::string_view mime_type = ctx.mime_type.value_or("");
            if (mime_type == "image/heif" || mime_type == "image/heic") {
                auto deep = boxes_nest_too_deep(source);
                if (!deep) return ExtractError::other(deep.error().message);
                if (*deep)
                    return ExtractError::other(Exiv2::Error(Exiv2::kerCorruptedMetadata).what());
            }
            image = open_image(mime_type, input);
            if (!image.get()) return ExtractError::other("Unknown image format");
            image->readMetadata();
            if (image->exifData().empty() && capture.exif_undecodable) {
                return ExtractError::other(std::string(kExifUndecodable));
            }
            return build_section(image->exifData());
        } catch (const Exiv2::AnyError& e) {
            return after_failure(input, image, e.what());
        } catch (const std::exception& e) {
            return after_failure(input, image, e.what());
        } catch (...) {
            return after_failure(input, image, "unexpected failure while reading EXIF data");
        }
    }

private:
    // exiv2 decodes the EXIF block as soon as it meets it and may fail later on another part
    // of the container (a truncated ICC or XMP segment after the EXIF one); the fields already
    // decoded are reported then, as when it skips a broken field. A failing source is always
    // reported.
    static ExtractResult after_failure(const Input& input, const Exiv2::Image::AutoPtr& image,
                                       std::string message) {
        if (input.failure) return ExtractError::other(input.failure->message);
        if (image.get() != nullptr) {
            try {
                if (!image->exifData().empty()) return build_section(image->exifData());
            } catch (...) {
                // Rendering failed as well: the first failure is the one to report.
            }
        }
        return ExtractError::other(std::move(message));
    }
};

}  // namespace

const Extractor& exif_extractor() {
    static const ExifExtractor reader;
    return reader;
}

}  // namespace vorandix
