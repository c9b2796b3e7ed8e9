#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "test_support.hpp"
#include "vorandix/input.hpp"
#include "vorandix/source.hpp"

namespace vorandix {
namespace {

using testing::bytes_of;

TEST(MemorySource, SeekRules) {
    const auto data = bytes_of("0123456789");
    struct Case {
        std::int64_t offset;
        Whence whence;
        bool ok;
        std::uint64_t pos;
    } cases[] = {
        {4, Whence::Start, true, 4},      {100, Whence::Start, true, 100},
        {-1, Whence::End, true, 9},       {5, Whence::End, true, 15},
        {-11, Whence::End, false, 0},     {-3, Whence::Current, true, 1},
        {-5, Whence::Current, false, 0},  {INT64_MAX, Whence::End, true, INT64_MAX + 10ULL},
        {INT64_MIN, Whence::Current, false, 0},
    };
    for (const Case& c : cases) {
        MemorySource src{ByteView(data)};
        ASSERT_TRUE(src.seek(4, Whence::Start));
        auto r = src.seek(c.offset, c.whence);
        ASSERT_EQ(r.ok(), c.ok) << c.offset;
        if (c.ok) {
            EXPECT_EQ(*r, c.pos);
        } else {
            EXPECT_EQ(r.error().message, "invalid seek to a negative or overflowing position");
        }
    }
}

TEST(MemorySource, ReadsPastTheEndReturnNothing) {
    const auto data = bytes_of("abc");
    MemorySource src{ByteView(data)};
    std::uint8_t buf[8];
    ASSERT_TRUE(src.seek(10, Whence::Start));
    EXPECT_EQ(*src.read(buf, 8), 0u);
    ASSERT_TRUE(src.seek(1, Whence::Start));
    auto short_read = src.read_exact(buf, 3);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error().message, "failed to fill whole buffer");
}

TEST(ByteSource, ReadToEndKeepsWhatWasThereAndReportsFailure) {
    testing::FailingSource src(std::vector<std::uint8_t>(100000, 7), 70000);
    std::vector<std::uint8_t> out = {1, 2};
    auto r = src.read_to_end(out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "Input/output error (os error 5)");

    testing::FailingSource whole(std::vector<std::uint8_t>(100000, 7), SIZE_MAX);
    out.assign({1, 2});
    ASSERT_EQ(*whole.read_to_end(out), 100000u);
    EXPECT_EQ(out.size(), 100002u);
}

class TempFile {
public:
    explicit TempFile(const std::vector<std::uint8_t>& content) {
        char name[] = "/tmp/vorandix-test-XXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        EXPECT_EQ(::write(fd_, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        ::lseek(fd_, 0, SEEK_SET);
    }
    ~TempFile() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

TEST(FileSource, RelativeSeeksAccountForBufferedBytes) {
    std::vector<std::uint8_t> content(20000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
    TempFile file(content);
    FileSource src(file.fd());
    std::uint8_t b[4];
    ASSERT_EQ(*src.read(b, 4), 4u);  // buffers 8192 bytes, logical position 4
    EXPECT_EQ(*src.seek(0, Whence::Current), 4u);
    ASSERT_EQ(*src.seek(-2, Whence::Current), 2u);
    ASSERT_EQ(*src.read(b, 1), 1u);
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(*src.seek(-1, Whence::End), 19999u);
    ASSERT_EQ(*src.read(b, 4), 1u);
    EXPECT_EQ(b[0], static_cast<std::uint8_t>(19999));
    EXPECT_FALSE(src.seek(-1, Whence::Start));  // taken as a huge unsigned offset
}

TEST(Input, MemoryViewsPointIntoTheCallersBuffer) {
    const auto data = bytes_of("0123456789");
    MemorySource src{ByteView(data)};
    Input in(src);
    auto v = in.at(3, 4);
    EXPECT_EQ(v.data(), data.data() + 3);
    EXPECT_EQ(v.size(), 4u);
    EXPECT_EQ(in.at(8, SIZE_MAX).size(), 2u);
    EXPECT_TRUE(in.at(10, 1).empty());
    EXPECT_TRUE(in.at(UINT64_MAX, 1).empty());
    EXPECT_EQ(in.memory()->data(), data.data());
}

TEST(Input, FileReadsMatchTheContentAtAnyOffset) {
    std::vector<std::uint8_t> content(100000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
    TempFile file(content);
    FileSource src(file.fd());
    Input in(src);
    EXPECT_EQ(in.size(), content.size());
    struct Case {
        std::uint64_t offset;
        std::size_t n, want;
    } cases[] = {{0, 10, 10},       {5, 20000, 20000}, {16380, 10, 10}, {99990, 100, 10},
                 {100000, 5, 0},    {40000, 4, 4},     {39998, 8, 8},   {UINT64_MAX - 2, 8, 0}};
    for (const Case& c : cases) {
        auto v = in.at(c.offset, c.n);
        ASSERT_EQ(v.size(), c.want) << c.offset;
        for (std::size_t i = 0; i < v.size(); ++i) {
            ASSERT_EQ(v[i], content[c.offset + i]) << c.offset;
        }
    }
    EXPECT_FALSE(in.failed());
}

// The first failure is kept: later reads give nothing, even where the source would succeed,
// and the result is settled against it once.
TEST(Input, KeepsTheFirstFailure) {
    testing::FailingSource src(bytes_of(std::string(40000, 'x')), 20000);
    Input in(src);
    EXPECT_EQ(in.at(0, 10).size(), 10u);
    EXPECT_TRUE(in.at(30000, 10).empty());
    ASSERT_TRUE(in.failed());
    EXPECT_TRUE(in.at(0, 10).empty());
    EXPECT_EQ(in.size(), 0u);
    const struct {
        ExtractResult result;
        std::string message;
    } cases[] = {
        {Section("x"), "I/O error: Input/output error (os error 5)"},
        {in.malformed("header too short"), "I/O error: Input/output error (os error 5)"},
        {ExtractError::other("library text"), "library text"},
    };
    for (const auto& c : cases) {
        const ExtractResult settled = in.settle(c.result);
        ASSERT_TRUE(std::holds_alternative<ExtractError>(settled));
        EXPECT_EQ(std::get<ExtractError>(settled).message(), c.message);
    }
}

}  // namespace
}  // namespace vorandix
