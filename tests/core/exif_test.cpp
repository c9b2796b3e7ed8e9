// What Python cannot see of the exif reader: how it reads a file-like source, I/O failures
// inside exiv2, and several threads at once.
#include <gtest/gtest.h>

#include <limits>
#include <thread>

#include "extractors/extractors.hpp"
#include "test_support.hpp"
#include "vorandix/document.hpp"

namespace vorandix {
namespace {

using testing::bytes_of;
using testing::FailingSource;

// IFD0 with one entry, Make = "Acme".
const std::string kTiff =
    std::string("II*\0\x08\0\0\0\x01\0\x0f\x01\x02\0\x05\0\0\0\x1a\0\0\0", 22) +
    std::string("\0\0\0\0Acme\0", 9);

std::vector<std::uint8_t> jpeg_with_exif(std::size_t scan_bytes = 0) {
    const std::size_t length = 2 + 6 + kTiff.size();
    std::string s = "\xff\xd8\xff\xe1";
    s += static_cast<char>(length >> 8);
    s += static_cast<char>(length & 0xff);
    s += std::string("Exif\0\0", 6) + kTiff;
    s += std::string("\xff\xda\x00\x02", 4) + std::string(scan_bytes, '\x55') + "\xff\xd9";
    return bytes_of(s);
}

ExtractResult read_exif(ByteSource& source, std::string_view mime_type) {
    ExtractContext ctx;
    ctx.mime_type = mime_type;
    return exif_extractor().extract(source, ctx);
}

std::string json_of(const ExtractResult& result) {
    if (const auto* error = std::get_if<ExtractError>(&result)) return "error: " + error->message();
    return to_json(to_document(assemble({std::get<Section>(result)}, {})));
}

const std::string kAcme = R"({"exif":{"primary":{"Make":"Acme"}}})";

// A file-like source (no in-memory view) that counts what it delivers.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(std::vector<std::uint8_t> data)
        : data_(std::move(data)), inner_(data_) {}
    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
        auto got = inner_.read(buf, n);
        if (got) delivered += *got;
        return got;
    }
    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override {
        return inner_.seek(offset, whence);
    }
    std::size_t delivered = 0;

private:
    std::vector<std::uint8_t> data_;
    MemorySource inner_;
};

// A memory source whose reads always fail: everything must come through its view.
class ViewOnlySource final : public ByteSource {
public:
    explicit ViewOnlySource(ByteView data) : data_(data) {}
    IoResult<std::size_t> read(std::uint8_t*, std::size_t) override { return IoError::os(5); }
    IoResult<std::uint64_t> seek(std::int64_t, Whence) override { return IoError::os(29); }
    std::optional<ByteView> view() const override { return data_; }

private:
    ByteView data_;
};

struct Case {
    const char* mime_type;
    std::vector<std::uint8_t> data;
};

std::vector<Case> cases() {
    // exiv2 reads a JPEG piece by piece and maps a TIFF whole.
    return {{"image/jpeg", jpeg_with_exif()}, {"image/tiff", bytes_of(kTiff)}};
}

TEST(Exif, FileLikeAndMemorySourcesGiveTheSameSection) {
    for (const Case& c : cases()) {
        CountingSource file(c.data);
        EXPECT_EQ(json_of(read_exif(file, c.mime_type)), kAcme) << c.mime_type;
        ViewOnlySource memory{ByteView(c.data)};
        EXPECT_EQ(json_of(read_exif(memory, c.mime_type)), kAcme) << c.mime_type;
    }
}

TEST(Exif, JpegFromAFileIsReadOnlyUpToTheScan) {
    CountingSource file(jpeg_with_exif(8 << 20));
    EXPECT_EQ(json_of(read_exif(file, "image/jpeg")), kAcme);
    EXPECT_LT(file.delivered, 64u * 1024);
}

TEST(Exif, IoFailureInsideExiv2IsReportedWithTheSystemText) {
    for (const Case& c : cases()) {
        for (std::size_t fail_after : {0u, 4u, 20u}) {
            FailingSource source(c.data, fail_after);
            const ExtractResult result = read_exif(source, c.mime_type);
            const auto* error = std::get_if<ExtractError>(&result);
            ASSERT_NE(error, nullptr) << c.mime_type << " " << fail_after;
            EXPECT_EQ(error->kind(), ExtractError::Kind::Other);
            EXPECT_EQ(error->message(), IoError::os(5).message);
        }
    }
}

// A TIFF of IFD0 { Make = "Acme", XMLPacket = `xmp` } followed by `padding` bytes of image
// data, which a TIFF larger than a few megabytes is not read for.
std::vector<std::uint8_t> tiff_with_xmp(const std::string& xmp, std::size_t padding = 0) {
    std::string s("II*\0\x08\0\0\0\x02\0", 10);
    const auto le32 = [](std::uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    s += std::string("\x0f\x01\x02\0", 4) + le32(5) + le32(38);
    s += std::string("\xbc\x02\x01\0", 4) + le32(static_cast<std::uint32_t>(xmp.size())) + le32(43);
    s += le32(0) + std::string("Acme\0", 5) + xmp + std::string(padding, '\x55');
    return bytes_of(s);
}

TEST(Exif, LargeTiffIsReadForItsDirectoriesOnly) {
    const auto data = tiff_with_xmp("<x/>", 12 << 20);
    MemorySource memory{ByteView(data)};
    const std::string whole = json_of(read_exif(memory, "image/tiff"));
    EXPECT_NE(whole.find(R"("Make":"Acme")"), std::string::npos) << whole;
    CountingSource file(data);
    EXPECT_EQ(json_of(read_exif(file, "image/tiff")), whole);
    EXPECT_LT(file.delivered, 64u * 1024);
}

// Several threads decode at once, XMP packets in IFD0 included, and agree with one thread.
TEST(Exif, ConcurrentReadsAgree) {
    const std::vector<Case> inputs = {
        {"image/jpeg", jpeg_with_exif()},
        {"image/tiff", tiff_with_xmp("<x:xmpmeta xmlns:x='adobe:ns:meta/'><a>1</a></x:xmpmeta>")},
        {"image/tiff", tiff_with_xmp("<x/>", 6 << 20)},
    };
    std::vector<std::string> expected;
    for (const Case& c : inputs) {
        MemorySource source{ByteView(c.data)};
        expected.push_back(json_of(read_exif(source, c.mime_type)));
    }
    std::vector<std::thread> threads;
    std::vector<int> matches(4, 0);
    for (std::size_t t = 0; t < matches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const Case& c = inputs[(t + i) % inputs.size()];
                MemorySource source{ByteView(c.data)};
                matches[t] += json_of(read_exif(source, c.mime_type)) == expected[(t + i) % inputs.size()];
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int count : matches) EXPECT_EQ(count, 60);
}

}  // namespace
}  // namespace vorandix
