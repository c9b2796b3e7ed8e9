// The image readers over sources that behave like files: large inputs are read in bounded
// pieces, read failures become I/O errors, and a file-like source gives exactly what the
// caller's buffer gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "extractors/extractors.hpp"
#include "test_support.hpp"
#include "vorandix/document.hpp"
#include "vorandix/engine.hpp"

namespace vorandix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::SparseSource;

void append(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }
void append_be(Bytes& out, std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void append_le(Bytes& out, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A memory source that hides its view, so readers take their file path through it.
class NoViewSource final : public ByteSource {
public:
    explicit NoViewSource(ByteView data) : inner_(data) {}
    IoResult<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
        return inner_.read(buf, n);
    }
    IoResult<std::uint64_t> seek(std::int64_t offset, Whence whence) override {
        return inner_.seek(offset, whence);
    }

private:
    MemorySource inner_;
};

std::string section_json(const Extractor& reader, ByteSource& source, std::uint64_t len) {
    const Extractor* only[] = {&reader};
    return to_json(to_document(run_extractors(source, len, only)));
}

constexpr std::uint64_t kHuge = 500ull << 20;
constexpr std::uint64_t kReadBudget = 256 << 10;

Bytes png_chunk(std::string_view type, std::string_view data, std::uint64_t length) {
    Bytes out;
    append_be(out, length, 4);
    append(out, type);
    append(out, data);
    append_be(out, 0, 4);  // CRC, never checked
    return out;
}

TEST(ImageReaders, LargePngIsWalkedByItsChunkHeaders) {
    // An IDAT that ends beyond 4 GiB puts IEND at an offset no 32-bit sum could reach.
    const std::uint64_t idat = 0xFFFFFFF0;
    Bytes head;
    append(head, "\x89PNG\r\n\x1a\n");
    for (const Bytes& c :
         {png_chunk("IHDR", std::string("\0\0\x01\0\0\0\x02\0\x08\x06\0\0\0", 13), 13),
          png_chunk("tEXt", std::string("Title\0Huge", 10), 10)}) {
        head.insert(head.end(), c.begin(), c.end());
    }
    const std::uint64_t idat_at = head.size();
    const Bytes idat_header = png_chunk("IDAT", "", idat);
    head.insert(head.end(), idat_header.begin(), idat_header.end() - 4);
    const std::uint64_t iend_at = idat_at + 12 + idat;
    SparseSource src(iend_at + 12 + kHuge);
    src.put(0, head);
    src.put(iend_at, png_chunk("IEND", "", 0));
    src.put(iend_at + 12, png_chunk("tEXt", std::string("After\0IEND", 10), 10));

    EXPECT_EQ(section_json(png_extractor(), src, iend_at + 12 + kHuge),
              R"({"png":{"bit_depth":8,"chunks":[{"length":13,"offset":8,"type":"IHDR"},)"
              R"({"length":10,"offset":33,"type":"tEXt"},{"length":4294967280,"offset":55,)"
              R"("type":"IDAT"},{"length":0,"offset":4294967347,"type":"IEND"}],)"
              R"("color_type":"RGBA","height":512,"interlaced":false,"text":{"Title":"Huge"},)"
              R"("width":256}})");
    EXPECT_LT(src.delivered, kReadBudget);
}

TEST(ImageReaders, LargeJpegIsReadUpToItsFirstScan) {
    Bytes head;
    append(head, "\xFF\xD8");
    append(head, std::string("\xFF\xE0\x00\x10JFIF\x00\x01\x01\x01\x00\x48\x00\x48\x00\x00", 18));
    append(head, std::string("\xFF\xC0\x00\x0B\x08\x10\x00\x20\x00\x01\x01\x11\x00", 13));
    append(head, std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10));
    SparseSource src(kHuge);
    src.put(0, head);
    src.put(kHuge - 2, {0xFF, 0xD9});

    const std::string json = section_json(jpeg_extractor(), src, kHuge);
    EXPECT_NE(json.find(R"("height":4096,"progressive":false,"scan_data_offset":43,)"),
              std::string::npos)
        << json;
    EXPECT_LT(src.delivered, kReadBudget);
}

TEST(ImageReaders, ReadFailuresBecomeIoErrors) {
    struct Case {
        const Extractor& reader;
        std::string_view data;
    } cases[] = {
        {jpeg_extractor(), std::string_view("\xFF\xD8\xFF\xE0\x00\x04xy", 8)},
        {png_extractor(), std::string_view("\x89PNG\r\n\x1a\n\0\0\0\0IEND\0\0\0\0", 20)},
        {gif_extractor(), std::string_view("GIF89a\x01\x00\x01\x00\x00\x00\x00\x3B", 14)},
        {bmp_extractor(), std::string_view("BM0123456789012345678901234567890123", 36)},
    };
    for (const Case& c : cases) {
        for (bool fail_seeks : {false, true}) {
            testing::FailingSource src(testing::bytes_of(c.data), 0, fail_seeks);
            const ExtractContext ctx;
            ExtractResult r = c.reader.extract(src, ctx);
            ASSERT_TRUE(std::holds_alternative<ExtractError>(r)) << c.reader.name();
            const ExtractError& e = std::get<ExtractError>(r);
            EXPECT_EQ(e.kind(), ExtractError::Kind::Io);
            EXPECT_EQ(e.message(), fail_seeks ? "I/O error: Illegal seek (os error 29)"
                                              : "I/O error: Input/output error (os error 5)");
        }
    }
}

// Inputs larger than the file path's read-ahead window, so that the walks cross windows.
std::vector<Bytes> large_seeds() {
    Bytes jpeg;
    append(jpeg, "\xFF\xD8");
    for (int i = 0; i < 3; ++i) {
        append(jpeg, std::string("\xFF\xE1\x75\x30http://ns.adobe.com/xap/1.0/\0", 33));
        jpeg.resize(jpeg.size() + 30000 - 31, 'x');
        append(jpeg, std::string_view("\x00\x7F\xFF\xD3", 4));  // stray bytes and an RST
    }
    append(jpeg, std::string("\xFF\xFE\x00\x07Hello\xFF\xDB\x00\x43\x00", 15));
    jpeg.resize(jpeg.size() + 64, 3);
    append(jpeg, std::string("\xFF\xC2\x00\x0B\x08\x00\x10\x00\x20\x01\x01\x11\x00", 13));
    append(jpeg, std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\xFF\xD9", 12));

    Bytes png;
    append(png, "\x89PNG\r\n\x1a\n");
    for (const Bytes& c :
         {png_chunk("IHDR", std::string("\0\0\0\x10\0\0\0\x10\x08\x03\0\0\x01", 13), 13),
          png_chunk("tEXt", "Comment" + std::string(1, '\0') + std::string(20000, 'c'), 20008),
          png_chunk("IDAT", std::string(30000, 'd'), 30000),
          png_chunk("tIME", std::string("\x07\xE8\x01\x05\x0A\x03\x09", 7), 7),
          png_chunk("pHYs", std::string("\0\0\x0B\x13\0\0\x0B\x13\x01", 9), 9),
          png_chunk("IEND", "", 0)}) {
        png.insert(png.end(), c.begin(), c.end());
    }

    Bytes gif;
    append(gif, std::string("GIF89a\x10\x00\x10\x00\xF1\x00\x00", 13));
    gif.resize(gif.size() + 12, 0);
    append(gif, std::string("\x21\xFF\x0BNETSCAPE2.0\x03\x01\x02\x00\x00", 19));
    for (int frame = 0; frame < 40; ++frame) {
        append(gif, std::string("\x21\xF9\x04\x00\x0A\x00\x00\x00", 8));
        append(gif, std::string("\x2C\0\0\0\0\x10\0\x10\0\x80", 10));
        gif.resize(gif.size() + 6, 0);
        gif.push_back(2);
        for (int block = 0; block < 20; ++block) {
            gif.push_back(40);
            gif.resize(gif.size() + 40, static_cast<std::uint8_t>(block * 13));
        }
        gif.push_back(0);
    }
    gif.push_back(0x3B);

    Bytes bmp;
    append(bmp, "BM");
    append_le(bmp, 70, 4);
    append_le(bmp, 54, 8);
    append_le(bmp, 40, 4);
    append_le(bmp, 2, 4);
    append_le(bmp, 0xFFFFFFFE, 4);
    append_le(bmp, 0x00200001, 4);
    bmp.resize(70, 0xAA);
    return {jpeg, png, gif, bmp};
}

TEST(ImageReaders, FileLikeSourcesGiveWhatTheBufferGives) {
    const Extractor* readers[] = {&jpeg_extractor(), &png_extractor(), &gif_extractor(),
                                  &bmp_extractor()};
    std::mt19937 rng(20240105);
    for (const Bytes& seed : large_seeds()) {
        for (int round = 0; round < 150; ++round) {
            Bytes data = seed;
            if (round > 0) {
                std::uniform_int_distribution<std::size_t> pos(0, data.size() - 1);
                const int flips = 1 + static_cast<int>(rng() % 4);
                for (int f = 0; f < flips; ++f) {
                    // Lean towards the first bytes, where the headers and lengths are.
                    const std::size_t at = rng() % 2 ? pos(rng) % 64 : pos(rng);
                    data[at] = static_cast<std::uint8_t>(rng());
                }
                if (rng() % 4 == 0) data.resize(pos(rng));
            }
            MemorySource memory{ByteView(data)};
            NoViewSource file_like{ByteView(data)};
            const std::string a =
                to_json(to_document(run_extractors(memory, data.size(), readers)));
            const std::string b =
                to_json(to_document(run_extractors(file_like, data.size(), readers)));
            ASSERT_EQ(a, b) << "round " << round;
            if (round == 0) {
                EXPECT_NE(a, "{}");
            }
        }
    }
}

}  // namespace
}  // namespace vorandix
