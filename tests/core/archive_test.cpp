// Readers of archives and documents over sources that act like files (no in-memory view):
// how much they read at once and in total, and how they report a failing read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "extractors/extractors.hpp"
#include "test_support.hpp"
#include "vorandix/document.hpp"

namespace vorandix {
namespace {

using testing::bytes_of;
using testing::FailingSource;
using testing::SparseSource;

std::string le16(unsigned v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string le32(std::uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

std::string central_header(std::string_view name, std::uint32_t compressed,
                           std::uint32_t uncompressed) {
    return "PK\x01\x02" + std::string(6, '\0') + le16(0) + le16(0) + le16(0) + le32(0) +
           le32(compressed) + le32(uncompressed) + le16(static_cast<unsigned>(name.size())) +
           le16(0) + le16(0) + std::string(12, '\0') + std::string(name);
}

std::string end_record(unsigned count, std::uint32_t directory, std::string_view comment = "") {
    return "PK\x05\x06" + std::string(4, '\0') + le16(count) + le16(count) + le32(0) +
           le32(directory) + le16(static_cast<unsigned>(comment.size())) + std::string(comment);
}

ExtractContext context_for(ByteSource& source, std::uint64_t size) {
    static std::uint8_t head[16];
    EXPECT_TRUE(source.seek(0, Whence::Start).ok());
    auto got = source.read_up_to(head, sizeof head);
    EXPECT_TRUE(source.seek(0, Whence::Start).ok());
    ExtractContext ctx;
    ctx.head = ByteView(head, got ? *got : 0);
    ctx.total_len = size;
    return ctx;
}

std::string run(const Extractor& reader, ByteSource& source, std::uint64_t size) {
    const ExtractContext ctx = context_for(source, size);
    EXPECT_TRUE(reader.applies(ctx));
    ExtractResult result = reader.extract(source, ctx);
    if (auto* error = std::get_if<ExtractError>(&result)) return error->message();
    std::vector<Section> sections;
    sections.push_back(std::move(std::get<Section>(result)));
    return to_json(to_document(assemble(std::move(sections), {})));
}

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::size_t kBoundedRead = 65536;

TEST(ZipFromFile, ThreeGigabyteArchiveReadsOnlyItsDirectory) {
    const std::uint64_t size = 3 * kGiB;
    const std::string directory = central_header("a.bin", 10, 20) + central_header("b/", 0, 0);
    const std::uint32_t directory_at = static_cast<std::uint32_t>(2 * kGiB);
    SparseSource src(size);
    src.put(0, "PK\x03\x04");
    src.put(directory_at, directory);
    src.put(size - 22, end_record(2, directory_at));
    EXPECT_EQ(run(zip_extractor(), src, size),
              "{\"zip\":{\"compression_ratio\":0.5,\"container_kind\":\"plain zip\",\"entries\":"
              "[{\"compressed\":10,\"method\":\"stored\",\"modified\":\"1980-00-00T00:00:00\","
              "\"name\":\"a.bin\",\"uncompressed\":20},{\"compressed\":0,\"method\":\"stored\","
              "\"modified\":\"1980-00-00T00:00:00\",\"name\":\"b/\",\"uncompressed\":0}],"
              "\"entry_count\":2}}");
    EXPECT_LE(src.largest_read, kBoundedRead);
    EXPECT_LE(src.delivered, 4 * kBoundedRead);
}

TEST(ZipFromFile, SearchWithoutRecordScansInBoundedBlocks) {
    const std::uint64_t size = 16 << 20;
    SparseSource src(size, 'P');  // a candidate byte everywhere, none a signature
    src.put(0, "PK\x03\x04");
    EXPECT_EQ(run(zip_extractor(), src, size), "malformed zip: no end-of-central-directory record");
    EXPECT_LE(src.largest_read, kBoundedRead);
}

TEST(ZipFromFile, RecordFarBackIsFoundInBoundedBlocks) {
    // A record followed by 40 MB that hold no signature: the last one is still found.
    const std::uint64_t size = 40 << 20;
    SparseSource src(size, 'x');
    const std::string directory = central_header("x", 1, 1);
    src.put(0, "PK\x03\x04" + std::string(26, '\0') + directory + end_record(65535, 30));
    EXPECT_NE(run(zip_extractor(), src, size).find("\"entry_count\":65535"), std::string::npos);
    EXPECT_LE(src.largest_read, kBoundedRead);
}

TEST(ZipFromFile, HostileDirectoryOffsetAndCountListNothing) {
    // 65535 declared entries and an offset into a run of zeros: no header, no entries.
    SparseSource src(kGiB);
    src.put(0, "PK\x03\x04");
    src.put(kGiB - 22, end_record(65535, 1000));
    EXPECT_EQ(run(zip_extractor(), src, kGiB),
              "{\"zip\":{\"container_kind\":\"plain zip\",\"entries\":[],\"entry_count\":65535}}");
    EXPECT_LE(src.delivered, 4 * kBoundedRead);
}

TEST(GzipFromFile, UnterminatedNameIsSearchedInBoundedPieces) {
    const std::uint64_t size = 64 << 20;
    SparseSource src(size, 'n');
    src.put(0, std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10));
    EXPECT_EQ(run(gzip_extractor(), src, size),
              "{\"gzip\":{\"compression_method\":\"deflate\",\"os\":\"Unix\"}}");
    EXPECT_LE(src.largest_read, kBoundedRead);
}

TEST(GzipFromFile, NameAcrossPiecesComesOutWhole) {
    const std::size_t name_len = 3 * kBoundedRead + 5;
    SparseSource src(name_len + 100, 'n');
    src.put(0, std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10));
    src.put(10 + name_len, std::string(1, '\0'));
    const std::string out = run(gzip_extractor(), src, name_len + 100);
    EXPECT_NE(out.find("\"original_filename\":\"" + std::string(name_len, 'n') + "\""),
              std::string::npos);
}

struct FailingRead {
    const Extractor& reader;
    std::string data;
    std::size_t fail_after;
};

TEST(ReadFailure, IsReportedAsAnIoError) {
    const std::string directory = central_header("a", 1, 1);
    const std::string zip = "PK\x03\x04" + std::string(26, '\0') + directory + end_record(1, 30);
    // The end record lies in the last block searched; the directory 100 kB before it.
    const std::string far_zip = "PK\x03\x04" + std::string(26, '\0') + directory +
                                std::string(100000, ' ') + end_record(1, 30);
    const std::string gz = std::string("\x1f\x8b\x08\x08\0\0\0\0\0\x03", 10) + "name";
    const std::string long_gz = gz + std::string(100000, 'n');
    const FailingRead cases[] = {
        {zip_extractor(), zip, 0},
        {zip_extractor(), zip, 16},
        {zip_extractor(), far_zip, 65536},  // fails on the directory, after the search
        {gzip_extractor(), gz, 0},
        {gzip_extractor(), gz, 12},
        {gzip_extractor(), long_gz, 16384},  // fails in the search for the name's end
        {pdf_extractor(), "%PDF-1.4\n" + std::string(20000, ' '), 100},
    };
    for (const FailingRead& c : cases) {
        SCOPED_TRACE(c.reader.name());
        FailingSource src(bytes_of(c.data), c.fail_after);
        ExtractContext ctx;
        ctx.head = ByteView(reinterpret_cast<const std::uint8_t*>(c.data.data()), 16);
        ctx.total_len = c.data.size();
        ExtractResult result = c.reader.extract(src, ctx);
        ASSERT_TRUE(std::holds_alternative<ExtractError>(result));
        EXPECT_EQ(std::get<ExtractError>(result).message(),
                  "I/O error: Input/output error (os error 5)");
    }
}

}  // namespace
}  // namespace vorandix
