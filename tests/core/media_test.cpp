// The media readers on file-like sources (no in-memory view): they must read headers with
// seeks and bounded reads, never the bodies between them.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "extractors/extractors.hpp"
#include "test_support.hpp"

namespace vorandix {
namespace {

using testing::SparseSource;

std::vector<std::uint8_t> be32(std::uint32_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
std::vector<std::uint8_t> le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
std::vector<std::uint8_t> cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
using testing::bytes_of;

ExtractResult run(const Extractor& reader, ByteSource& source) {
    ExtractContext ctx;
    return reader.extract(source, ctx);
}

const MetaObject& fields_of(const ExtractResult& result) {
    if (const auto* err = std::get_if<ExtractError>(&result)) {
        ADD_FAILURE() << err->message();
    }
    return std::get<Section>(result).fields;
}

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint64_t kMargin = 1 << 20;  // room for the read-ahead window at each header
constexpr std::uint64_t kReadBudget = 256 << 10;

TEST(Mp4Extractor, SkipsAHugeMdatWithoutReadingIt) {
    // ftyp, a 64-bit mdat covering almost 6 GiB, then moov with mvhd at the very end.
    const std::uint64_t size = 6 * kGiB;
    const auto ftyp = cat({be32(20), bytes_of("ftypisom"), be32(0), bytes_of("mp41")});
    const auto mvhd =
        cat({be32(28), bytes_of("mvhd"), std::vector<std::uint8_t>(12, 0), be32(600), be32(6000)});
    const auto moov = cat({be32(8 + 28), bytes_of("moov"), mvhd});
    const std::uint64_t mdat_size = size - ftyp.size() - moov.size();
    const auto mdat = cat({be32(1), bytes_of("mdat"), be32(std::uint32_t(mdat_size >> 32)),
                           be32(std::uint32_t(mdat_size))});
    SparseSource source(size);
    source.forbid(kMargin, size - kMargin);
    source.put(0, cat({ftyp, mdat}));
    source.put(size - moov.size(), moov);

    const ExtractResult result = run(mp4_extractor(), source);
    const MetaObject& fields = fields_of(result);
    EXPECT_EQ(*fields.find("timescale"), MetaValue::uinteger(600));
    EXPECT_EQ(*fields.find("duration_seconds"), MetaValue::floating(10.0));
    const auto& boxes = std::get<MetaList>(fields.find("top_level_boxes")->storage());
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(*std::get<MetaObject>(boxes[1].storage()).find("size"),
              MetaValue::uinteger(mdat_size));
    EXPECT_LT(source.delivered, kReadBudget);
}

TEST(RiffExtractor, SkipsAHugeChunkBeforeFmt) {
    // A 4 GiB odd-sized chunk, its pad byte, then `fmt `.
    const std::uint32_t junk = 0xFFFFFFFF;
    const std::uint64_t fmt_at = 12 + 8 + std::uint64_t{junk} + 1;
    const auto fmt =
        cat({bytes_of("fmt "), le32(16), {1, 0, 2, 0}, le32(44100), le32(176400), {4, 0, 16, 0}});
    const std::uint64_t size = fmt_at + fmt.size() + 8;
    SparseSource source(size);
    source.forbid(kMargin, fmt_at - kMargin);
    source.put(0, cat({bytes_of("RIFF"), le32(0), bytes_of("WAVEJUNK"), le32(junk)}));
    source.put(fmt_at, fmt);

    const ExtractResult result = run(riff_extractor(), source);
    const MetaObject& fields = fields_of(result);
    EXPECT_EQ(*fields.find("sample_rate"), MetaValue::uinteger(44100));
    EXPECT_EQ(*fields.find("channels"), MetaValue::uinteger(2));
    EXPECT_LT(source.delivered, kReadBudget);
}

TEST(Id3Extractor, ReadsOnlyTheFramesItReports) {
    // A 200 MiB frame that is not reported sits between two that are.
    const std::uint32_t big = 200 << 20;
    const std::uint64_t album_at = 10 + 16 + 10 + big;
    const auto album = cat({bytes_of("TALB"), be32(6), {0, 0, 0}, bytes_of("album")});
    const std::uint32_t tag_size = 0x0FFFFFFF;  // 7F 7F 7F 7F
    SparseSource source(album_at + album.size() + (64 << 20));
    source.forbid(kMargin, album_at - kMargin);
    source.put(0, cat({bytes_of("ID3"),
                       {3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F},
                       bytes_of("TIT2"),
                       be32(6),
                       {0, 0, 0},
                       bytes_of("title"),
                       bytes_of("APIC"),
                       be32(big),
                       {0, 0}}));
    source.put(album_at, album);

    const ExtractResult result = run(id3_extractor(), source);
    const MetaObject& fields = fields_of(result);
    EXPECT_EQ(*fields.find("tag_size"), MetaValue::uinteger(tag_size));
    MetaObject frames;
    frames.insert_string("title", "title");
    frames.insert_string("album", "album");
    EXPECT_EQ(*fields.find("frames"), MetaValue::object(frames));
    EXPECT_LT(source.delivered, kReadBudget);
}

TEST(ElfExtractor, ReadsExactlyTwentyBytes) {
    auto header =
        cat({{0x7F, 'E', 'L', 'F', 2, 1, 1, 0}, std::vector<std::uint8_t>(8, 0), {2, 0, 62, 0}});
    header.resize(64, 0xEE);
    testing::FailingSource source(header, 20);
    const ExtractResult result = run(elf_extractor(), source);
    EXPECT_EQ(*fields_of(result).find("machine"), MetaValue::string("x86-64"));
}

TEST(MediaExtractors, ReadFailuresAreIoErrorsWithNoSection) {
    // Each input is valid; the source fails partway through it. The mp4 case fails only at
    // the second read, for `moov`, well past the first read-ahead.
    const auto mp4 = cat({be32(16), bytes_of("ftypisom"), be32(0), be32(100000), bytes_of("free"),
                          std::vector<std::uint8_t>(100000 - 8, 0), be32(36), bytes_of("moov"),
                          be32(28), bytes_of("mvhd"), std::vector<std::uint8_t>(20, 0)});
    const auto wav = cat({bytes_of("RIFF"), le32(0), bytes_of("WAVELIST"), le32(4),
                          bytes_of("INFOfmt "), le32(16), std::vector<std::uint8_t>(16, 1)});
    const auto id3 = cat({bytes_of("ID3"),
                          {3, 0, 0, 0, 0, 0, 20},
                          bytes_of("TIT2"),
                          be32(10),
                          {0, 0, 0},
                          bytes_of("abcdefghi")});
    const struct {
        const Extractor& reader;
        std::vector<std::uint8_t> data;
        std::size_t fail_after;
    } cases[] = {
        {mp4_extractor(), mp4, 16384 + 10},
        {riff_extractor(), wav, 24},
        {id3_extractor(), id3, 12},
        {riff_extractor(), wav, 0},
        {elf_extractor(),
         bytes_of("\x7F"
                  "ELF"),
         0},
    };
    for (const auto& c : cases) {
        testing::FailingSource source(c.data, c.fail_after);
        const ExtractResult result = run(c.reader, source);
        ASSERT_TRUE(std::holds_alternative<ExtractError>(result)) << c.reader.name();
        EXPECT_EQ(std::get<ExtractError>(result).message(),
                  "I/O error: Input/output error (os error 5)")
            << c.reader.name();
    }
}

}  // namespace
}  // namespace vorandix
