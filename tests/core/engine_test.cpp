#include <gtest/gtest.h>

#include <cmath>

#include "test_support.hpp"
#include "vorandix/document.hpp"
#include "vorandix/engine.hpp"
#include "vorandix/file_facts.hpp"

namespace vorandix {
namespace {

using testing::bytes_of;
using testing::FailingSource;

// A reader that records what it was handed and answers as told.
class Probe final : public Extractor {
public:
    enum class Answer { Section, Empty, Error };
    Probe(const char* name, Answer answer, bool applies = true)
        : name_(name), answer_(answer), applies_(applies) {}

    const char* name() const override { return name_; }
    bool applies(const ExtractContext&) const override { return applies_; }
    ExtractResult extract(ByteSource& source, const ExtractContext& ctx) const override {
        head_size = ctx.head.size();
        std::uint8_t first = 0;
        auto got = source.read(&first, 1);
        first_read = got ? *got : 0;
        calls++;
        if (answer_ == Answer::Error) return ExtractError::malformed(name_, "header too short");
        Section s(name_);
        if (answer_ == Answer::Section) s.insert_u64("n", 1);
        return s;
    }

    mutable std::size_t head_size = 0, first_read = 0;
    mutable int calls = 0;

private:
    const char* name_;
    Answer answer_;
    bool applies_;
};

std::string run_json(ByteSource& src, std::uint64_t len, std::span<const Extractor* const> xs) {
    return to_json(to_document(run_extractors(src, len, xs)));
}

TEST(RunLoop, HeadIsAtMost8192BytesAndReadersStartAtOffsetZero) {
    for (std::size_t size : {0u, 100u, 8192u, 10000u}) {
        std::vector<std::uint8_t> data(size, 'x');
        MemorySource src{ByteView(data)};
        Probe probe("probe", Probe::Answer::Section);
        const Extractor* xs[] = {&probe};
        run_extractors(src, size, xs);
        EXPECT_EQ(probe.head_size, std::min<std::size_t>(size, 8192));
        EXPECT_EQ(probe.first_read, size ? 1u : 0u);
    }
}

TEST(RunLoop, ErrorsInRunOrderEmptySectionsDroppedDeclinersNotCalled) {
    const auto data = bytes_of("GIF89a");
    MemorySource src{ByteView(data)};
    Probe a("jpeg", Probe::Answer::Error), b("png", Probe::Answer::Empty),
        c("gif", Probe::Answer::Section), d("bmp", Probe::Answer::Section, false),
        e("exif", Probe::Answer::Error);
    const Extractor* xs[] = {&a, &b, &c, &d, &e};
    EXPECT_EQ(run_json(src, data.size(), xs),
              "{\"errors\":[{\"extractor\":\"jpeg\",\"message\":\"malformed jpeg: header too "
              "short\"},{\"extractor\":\"exif\",\"message\":\"malformed exif: header too "
              "short\"}],\"gif\":{\"n\":1}}");
    EXPECT_EQ(d.calls, 0);
    EXPECT_EQ(b.calls, 1);
}

TEST(RunLoop, FailedHeadReadAndSeeksAreSwallowed) {
    FailingSource src(bytes_of("\x89PNG\r\n\x1a\n"), 0, /*fail_seeks=*/true);
    Report r = run_extractors(src, 8);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].extractor, "file");
    EXPECT_EQ(r.errors[0].message, "I/O error: Input/output error (os error 5)");
    EXPECT_TRUE(r.sections.empty());
}

const MetaValue& field(Report& r, const char* key) {
    const MetaValue* v = r.sections["file"].find(key);
    EXPECT_NE(v, nullptr) << key;
    static const MetaValue missing;
    return v ? *v : missing;
}

TEST(FileFacts, EmptyInput) {
    MemorySource src{ByteView()};
    Report r = run_extractors(src, 0);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_EQ(to_json(to_document(std::move(r))),
              "{\"file\":{\"crc32\":\"00000000\",\"sha256\":"
              "\"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\","
              "\"size_bytes\":0}}");
}

TEST(FileFacts, DigestsCoverBytesReadAcrossManyChunks) {
    // 200000 bytes cross several 64 KiB reads; the digests of "a" * 200000 are fixed values.
    std::vector<std::uint8_t> data(200000, 'a');
    MemorySource src{ByteView(data)};
    Report r = run_extractors(src, 5);  // a stale size is reported as given
    EXPECT_EQ(field(r, "size_bytes"), MetaValue::uinteger(5));
    EXPECT_EQ(field(r, "sha256"),
              MetaValue::string("2287d207f24a941ff3b56c04c8a25ad56b63e3023207b3bb5b4ac0c9869d74be"));
    const auto& h = std::get<double>(field(r, "entropy_bits_per_byte").storage());
    EXPECT_EQ(h, 0.0);
    EXPECT_TRUE(std::signbit(h));
}

TEST(FileFacts, ReadFailurePartWayIsAnErrorAndTheOtherReadersStillRun) {
    FailingSource src(std::vector<std::uint8_t>(300000, 1), 150000);
    Probe later("zip", Probe::Answer::Section);
    const Extractor* xs[] = {registry()[0], &later};
    Report r = run_extractors(src, 300000, xs);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors[0].message, "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(r.sections.count("file"), 0u);
    EXPECT_EQ(r.sections.count("zip"), 1u);
}

TEST(PathFacts, AddedEvenWhenTheFileReaderFailed) {
    FailingSource src(std::vector<std::uint8_t>(100000, 1), 70000);
    FileFacts facts{100000, std::int64_t{-1}, std::int64_t{1700000000}};
    Report r = run_on_file(src, "/data/photo.JPG", facts);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(to_json(to_document(std::move(r))),
              "{\"errors\":[{\"extractor\":\"file\",\"message\":\"I/O error: Input/output error "
              "(os error 5)\"}],\"file\":{\"created_unix\":1700000000,\"extension_claimed\":"
              "\"JPG\",\"name\":\"photo.JPG\"}}");
}

// A file cut or grown while it was read gives an error for the file extractor, unless its
// size means nothing (a pipe, a device, /proc).
TEST(PathFacts, FileThatChangedWhileReadIsAnError) {
    const struct {
        std::uint64_t reported;
        bool size_is_content;
        const char* error;
    } cases[] = {
        {100, true, nullptr},
        {200, true, "I/O error: the file changed while it was read: 200 bytes reported, 100 read"},
        {60, true, "I/O error: the file changed while it was read: 60 bytes reported, 100 read"},
        {0, false, nullptr},
    };
    for (const auto& c : cases) {
        const std::vector<std::uint8_t> data(100, 'x');
        MemorySource src{ByteView(data)};
        FileFacts facts{c.reported, std::nullopt, std::nullopt, c.size_is_content};
        Report r = run_on_file(src, "/data/x", facts);
        if (c.error == nullptr) {
            EXPECT_TRUE(r.errors.empty()) << c.reported;
            EXPECT_NE(r.sections["file"].find("sha256"), nullptr);
        } else {
            ASSERT_EQ(r.errors.size(), 1u) << c.reported;
            EXPECT_EQ(r.errors[0].message, c.error);
            EXPECT_EQ(r.sections["file"].find("sha256"), nullptr);
        }
    }
}

TEST(PathFacts, FileNameAndClaimedExtension) {
    struct Case {
        const char* path;
        const char* name;
        const char* ext;  // nullptr: no key
    } cases[] = {
        {"photo.JPG", "photo.JPG", "JPG"},
        {"/a/b/archive.tar.gz", "archive.tar.gz", "gz"},
        {"dir/name.", "name.", ""},
        {"README", "README", nullptr},
        {".profile", ".profile", nullptr},
        {"..hidden", "..hidden", "hidden"},
        {"a/b/", "b", nullptr},
        {"a/./", "a", nullptr},
        {"a/..", "", nullptr},
        {"/", "", nullptr},
        {".", "", nullptr},
        {"", "", nullptr},
    };
    for (const Case& c : cases) {
        const std::string name = path_file_name(c.path);
        EXPECT_EQ(name, c.name) << c.path;
        const auto ext = file_name_extension(name);
        EXPECT_EQ(ext.has_value(), c.ext != nullptr) << c.path;
        if (ext && c.ext) {
            EXPECT_EQ(*ext, c.ext);
        }
    }
}

TEST(Entropy, KnownDistributions) {
    ByteHistogram all, two, none;
    std::vector<std::uint8_t> every(256 * 3);
    for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i);
    all.add(every);
    const std::uint8_t ab[] = {'a', 'b', 'b', 'a', 'a', 'b'};
    two.add(ByteView(ab));
    EXPECT_EQ(entropy_bits_per_byte(all.counts()), 8.0);
    EXPECT_EQ(entropy_bits_per_byte(two.counts()), 1.0);
    EXPECT_FALSE(entropy_bits_per_byte(none.counts()).has_value());
}

TEST(Histogram, CountsEveryByteWhateverTheAlignment) {
    std::vector<std::uint8_t> data(1001);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    for (std::size_t start = 0; start < 9; ++start) {
        ByteHistogram h;
        ByteCounts want{};
        for (std::size_t i = start; i < data.size(); ++i) want[data[i]]++;
        h.add(ByteView(data).subspan(start, 500));
        h.add(ByteView(data).subspan(start + 500));
        EXPECT_EQ(h.counts(), want);
    }
}

}  // namespace
}  // namespace vorandix
