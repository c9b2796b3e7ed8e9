#include "vorandix/sniff.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vorandix {
namespace {

using namespace std::string_view_literals;
using Bytes = std::vector<std::uint8_t>;

// Bytes placed at an offset of a head under construction.
struct Put {
    Put(std::size_t at, std::string_view text) : offset(at), bytes(text.begin(), text.end()) {}
    Put(std::size_t at, std::initializer_list<std::uint8_t> raw) : offset(at), bytes(raw) {}
    std::size_t offset;
    Bytes bytes;
};

// A zero-filled head of exactly `len` bytes with `puts` written into it.
Bytes head(std::size_t len, std::initializer_list<Put> puts) {
    Bytes out(len, 0);
    for (const Put& p : puts) {
        if (p.offset + p.bytes.size() > len) throw std::logic_error("put past the head's end");
        std::copy(p.bytes.begin(), p.bytes.end(), out.begin() + p.offset);
    }
    return out;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// "mime ext", or "none": one string to compare and print.
std::string type_of(const Bytes& h) {
    const auto t = sniff(ByteView(h));
    if (!t) return "none";
    return std::string(t->mime_type) + " " + std::string(t->extension);
}

void put16(Bytes& b, std::size_t o, std::uint16_t v) {
    b.at(o) = v & 0xFF;
    b.at(o + 1) = v >> 8;
}
void put32(Bytes& b, std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(o + i) = (v >> (8 * i)) & 0xFF;
}

struct Case {
    const char* what;
    Bytes head;
    std::string expected;
};

void expect_all(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(type_of(c.head), c.expected) << c.what;
}

// ---------------------------------------------------------------------------------------------
// One head per row, each exactly as long as the row's minimum. Cutting the last byte must
// lose the row's answer, which pins down every minimum length, including those above the
// bytes a row compares.

const std::string kOdf = "mimetypeapplication/vnd.oasis.opendocument.";

const std::vector<Case>& shortest_heads() {
    static const std::vector<Case> cases = {
        {"1", head(8, {{0, {0x00, 0x61, 0x73, 0x6D, 0x01, 0x00, 0x00, 0x00}}}),
         "application/wasm wasm"},
        {"2", head(53, {{0, {0x7F, 'E', 'L', 'F'}}}), "application/x-executable elf"},
        {"3", text("MZ"), "application/vnd.microsoft.portable-executable exe"},
        {"5", head(8, {{0, {0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x00, 0x00, 0x34}}}),
         "application/java class"},
        {"6", text("BC"), "application/x-llvm bc"},
        {"7", head(4, {{0, {0xCF, 0xFA, 0xED, 0xFE}}}), "application/x-mach-binary mach"},
        {"8", head(37, {{0, "dex\n"}, {36, "p"}}), "application/vnd.android.dex dex"},
        {"9", head(101, {{0, "dey\n"}, {40, "dex\n"}, {76, "p"}}),
         "application/vnd.android.dey dey"},
        {"10", head(3, {{0, {0x30, 0x82}}}), "application/x-x509-ca-cert der"},
        {"11", head(3, {{0, {0x64, 0x86}}}), "application/x-executable obj"},
        {"12", text("-----BEGIN C"), "application/x-x509-ca-cert pem"},
        {"13", head(58, {{0, "PK\x03\x04"}, {30, "mimetypeapplication/epub+zip"}}),
         "application/epub+zip epub"},
        {"14", head(68, {{60, "BOOKMOBI"}}), "application/x-mobipocket-ebook mobi"},
        {"15", head(3, {{0, {0xFF, 0xD8, 0xFF}}}), "image/jpeg jpg"},
        {"16", head(13, {{0, {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A}}}),
         "image/jp2 jp2"},
        {"17", head(4, {{0, {0x89, 'P', 'N', 'G'}}}), "image/png png"},
        {"18", text("GIF"), "image/gif gif"},
        {"19", head(12, {{0, "RIFF"}, {8, "WEBP"}}), "image/webp webp"},
        {"20", head(11, {{0, {'I', 'I', 0x2A, 0}}, {8, {0x43, 0x52, 0x02}}}),
         "image/x-canon-cr2 cr2"},
        {"21", head(10, {{0, {'I', 'I', 0x2A, 0, 8}}}), "image/tiff tif"},
        {"22", text("BM"), "image/bmp bmp"},
        {"23", head(3, {{0, {'I', 'I', 0xBC}}}), "image/vnd.ms-photo jxr"},
        {"24", text("8BPS"), "image/vnd.adobe.photoshop psd"},
        {"25", head(4, {{0, {0, 0, 1, 0}}}), "image/vnd.microsoft.icon ico"},
        {"26", head(16, {{3, {16}}, {4, "ftypheic"}}), "image/heif heif"},
        {"27", head(16, {{3, {16}}, {4, "ftypavif"}}), "image/avif avif"},
        {"28", head(3, {{0, {0xFF, 0x0A}}}), "image/jxl jxl"},
        {"29", head(58, {{0, "PK\x03\x04"}, {30, "mimetypeimage/openraster"}}),
         "image/openraster ora"},
        {"30", head(12, {{4, "ftypisom"}}), "video/mp4 mp4"},
        {"31", head(11, {{4, "ftypM4V"}}), "video/x-m4v m4v"},
        {"32", head(16, {{0, {0x1A, 0x45, 0xDF, 0xA3, 0x93, 0x42, 0x82, 0x88}}, {8, "matroska"}}),
         "video/x-matroska mkv"},
        {"33", head(4, {{0, {0x1A, 0x45, 0xDF, 0xA3}}}), "video/webm webm"},
        {"34", head(16, {{4, "moov"}}), "video/quicktime mov"},
        {"35", head(11, {{0, "RIFF"}, {8, "AVI"}}), "video/x-msvideo avi"},
        {"36", head(10, {{0, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9}}}),
         "video/x-ms-wmv wmv"},
        {"37", head(4, {{0, {0, 0, 1, 0xBA}}}), "video/mpeg mpg"},
        {"38", text("FLV\x01"), "video/x-flv flv"},
        {"39", text("MThd"), "audio/midi midi"},
        {"40", text("ID3"), "audio/mpeg mp3"},
        {"41", head(11, {{0, "M4A "}}), "audio/m4a m4a"},
        {"42", head(36, {{0, "OggS"}, {28, "OpusHead"}}), "audio/opus opus"},
        {"43", text("OggS"), "audio/ogg ogg"},
        {"44", text("fLaC"), "audio/x-flac flac"},
        {"45", head(12, {{0, "RIFF"}, {8, "WAVE"}}), "audio/x-wav wav"},
        {"46", head(12, {{0, "#!AMR\n"}}), "audio/amr amr"},
        {"47", head(2, {{0, {0xFF, 0xF1}}}), "audio/aac aac"},
        {"48", head(12, {{0, "FORM"}, {8, "AIFF"}}), "audio/x-aiff aiff"},
        {"49", head(5, {{0, "DSD "}}), "audio/x-dsf dsf"},
        {"50", head(5, {{0, "MAC "}}), "audio/x-ape ape"},
        {"51", head(8, {{0, "wOFF"}, {5, {1}}}), "application/font-woff woff"},
        {"52", head(8, {{0, "wOF2"}, {5, {1}}}), "application/font-woff woff2"},
        {"53", head(5, {{1, {1}}}), "application/font-sfnt ttf"},
        {"54", head(5, {{0, "OTTO"}}), "application/font-sfnt otf"},
        {"56", head(35, {{0, "PK\x03\x04"}, {30, "word/"}}),
         "application/vnd.openxmlformats-officedocument.wordprocessingml.document docx"},
        {"58", head(33, {{0, "PK\x03\x04"}, {30, "xl/"}}),
         "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet xlsx"},
        {"60", head(34, {{0, "PK\x03\x04"}, {30, "ppt/"}}),
         "application/vnd.openxmlformats-officedocument.presentationml.presentation pptx"},
        {"61", head(77, {{0, "PK\x03\x04"}, {30, kOdf + "text"}}),
         "application/vnd.oasis.opendocument.text odt"},
        {"62", head(84, {{0, "PK\x03\x04"}, {30, kOdf + "spreadsheet"}}),
         "application/vnd.oasis.opendocument.spreadsheet ods"},
        {"63", head(85, {{0, "PK\x03\x04"}, {30, kOdf + "presentation"}}),
         "application/vnd.oasis.opendocument.presentation odp"},
        {"65", text("PK\x03\x04"), "application/zip zip"},
        {"66", head(262, {{257, "ustar"}}), "application/x-tar tar"},
        {"67", head(7, {{0, "Rar!\x1A\x07"}}), "application/vnd.rar rar"},
        {"68", head(3, {{0, {0x1F, 0x8B, 0x08}}}), "application/gzip gz"},
        {"69", text("BZh"), "application/x-bzip2 bz2"},
        {"70", head(6, {{0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C}}}),
         "application/x-7z-compressed 7z"},
        {"71", head(6, {{0, {0xFD, '7', 'z', 'X', 'Z', 0}}}), "application/x-xz xz"},
        {"72", text("%PDF"), "application/pdf pdf"},
        {"73", text("FWS"), "application/x-shockwave-flash swf"},
        {"74", text("{\\rtf"), "application/rtf rtf"},
        {"75", head(36, {{8, {2, 0, 1}}, {34, "LP"}}), "application/octet-stream eot"},
        {"76", text("%!"), "application/postscript ps"},
        {"77", text("SQLi"), "application/vnd.sqlite3 sqlite"},
        {"78", text("NES\x1A"), "application/x-nintendo-nes-rom nes"},
        {"79", text("Cr24"), "application/x-google-chrome-extension crx"},
        {"80", text("MSCF"), "application/vnd.ms-cab-compressed cab"},
        {"81", text("!<arch>\ndebian-binary"), "application/vnd.debian.binary-package deb"},
        {"82", text("!<arch>"), "application/x-unix-archive ar"},
        {"83", head(2, {{0, {0x1F, 0x9D}}}), "application/x-compress Z"},
        {"84", text("LZIP"), "application/x-lzip lz"},
        {"85", head(97, {{0, {0xED, 0xAB, 0xEE, 0xDB}}}), "application/x-rpm rpm"},
        {"86", head(132, {{128, "DICM"}}), "application/dicom dcm"},
        {"87", head(4, {{0, {0x28, 0xB5, 0x2F, 0xFD}}}), "application/zstd zst"},
        {"88", head(8, {{0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}}}),
         "application/x-ole-storage msi"},
        {"89", head(2, {{0, {0xC7, 0x71}}}), "application/x-cpio cpio"},
        {"90", text("<p>"), "text/html html"},
        {"91", text("<?xml"), "text/xml xml"},
        {"92", text("#!/"), "text/x-shellscript sh"},
    };
    return cases;
}

TEST(Sniff, EachRowMatchesAtItsMinimumLengthAndNotOneByteShorter) {
    for (const Case& c : shortest_heads()) {
        EXPECT_EQ(type_of(c.head), c.expected) << "row " << c.what;
        const Bytes shorter(c.head.begin(), c.head.end() - 1);
        EXPECT_NE(type_of(shorter), c.expected) << "row " << c.what << " one byte short";
    }
}

TEST(Sniff, EmptyHeadMatchesNothing) { EXPECT_EQ(sniff(ByteView()), std::nullopt); }

TEST(Sniff, ShadowedRowsNeverAnswer) {
    // "MZ" always reads as exe, never dll; the archive-kind epub row repeats the book row.
    expect_all({
        {"MZ", text("MZ\x90\x00"sv), "application/vnd.microsoft.portable-executable exe"},
        {"MZ text", text("MZ is also how this sentence starts"),
         "application/vnd.microsoft.portable-executable exe"},
    });
}

TEST(Sniff, ExecutablesAndShortPrefixes) {
    expect_all({
        // CA FE BA BE: Java when the 16-bit version at 6 is at least 45, Mach-O fat binary
        // when the 32-bit count at 4 is below 45, neither in between.
        {"class 45", head(8, {{0, {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 0x2D}}}),
         "application/java class"},
        {"fat 44", head(8, {{0, {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 0x2C}}}),
         "application/x-mach-binary mach"},
        {"fat 2", head(8, {{0, {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 2}}}),
         "application/x-mach-binary mach"},
        {"neither", head(8, {{0, {0xCA, 0xFE, 0xBA, 0xBE, 0, 0x2D, 0, 0}}}), "none"},
        {"cafebabe 7", head(7, {{0, {0xCA, 0xFE, 0xBA, 0xBE}}}), "none"},
        {"mach CE", head(4, {{0, {0xCE, 0xFA, 0xED, 0xFE}}}), "application/x-mach-binary mach"},
        {"mach BE", head(4, {{0, {0xFE, 0xED, 0xFA, 0xCE}}}), "application/x-mach-binary mach"},
        {"mach BE bad", head(4, {{0, {0xFE, 0xED, 0xFA, 0xCD}}}), "none"},
        {"obj 4C 01", head(3, {{0, {0x4C, 0x01}}}), "application/x-executable obj"},
        {"obj 00 02", head(3, {{0, {0x00, 0x02}}}), "application/x-executable obj"},
        {"der text", text("0\x82rest"), "application/x-x509-ca-cert der"},
        {"cpio text", text("q\xC7 whatever"), "application/x-cpio cpio"},
        {"cpio newc", text("0707010"), "application/x-cpio cpio"},
        {"cpio newc short", text("070701"), "none"},
        {"cpio crc", text("0707020"), "none"},
        {"cpio odc", text("0707070"), "none"},
        {"swf C", text("CWS"), "application/x-shockwave-flash swf"},
        {"swf Z", text("ZWS"), "none"},
        {"rar 5", head(7, {{0, "Rar!\x1A\x07"}, {6, {1}}}), "application/vnd.rar rar"},
        {"rar bad", head(7, {{0, "Rar!\x1A\x07"}, {6, {2}}}), "none"},
        {"cab ISc(", text("ISc("), "application/vnd.ms-cab-compressed cab"},
        {"Z A0", head(2, {{0, {0x1F, 0xA0}}}), "application/x-compress Z"},
        {"jxl box", head(13, {{0, {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A}}}),
         "image/jxl jxl"},
        {"jxl box 12", head(12, {{0, {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A}}}),
         "none"},
        {"pdf not at 0", text(" %PDF-1.7"), "none"},
        {"sh leading space", text(" #!/bin/sh"), "none"},
        {"sh two bytes", text("#!"), "none"},
    });
}

TEST(Sniff, ImagesAndFonts) {
    expect_all({
        // Plain TIFF is declined when byte 8 is 'C' or byte 9 is 'R'.
        {"tiff C at 8", head(10, {{0, {'I', 'I', 0x2A, 0, 8}}, {8, {0x43}}}), "none"},
        {"tiff R at 9", head(10, {{0, {'I', 'I', 0x2A, 0, 8}}, {9, {0x52}}}), "none"},
        {"tiff CR short", head(10, {{0, {'I', 'I', 0x2A, 0, 8}}, {8, {0x43, 0x52}}}), "none"},
        {"tiff MM", head(10, {{0, {'M', 'M', 0, 0x2A, 0, 0, 0, 8}}}), "image/tiff tif"},
        {"cr2 MM", head(11, {{0, {'M', 'M', 0, 0x2A}}, {8, {0x43, 0x52, 0x02}}}),
         "image/x-canon-cr2 cr2"},
        {"bigtiff", head(16, {{0, {'I', 'I', 0x2B, 0, 8}}}), "none"},
        // WebP is "WEBP" at 8, with or without RIFF, and nowhere else.
        {"webp no riff", head(12, {{0, "XXXXXXXX"}, {8, "WEBP"}}), "image/webp webp"},
        {"webp at 0", head(12, {{0, "WEBP"}}), "none"},
        {"webp at 12", head(16, {{0, "RIFF"}, {8, "VP8 WEBP"}}), "none"},
        {"jp2 without 13th byte", head(12, {{0, {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20}}}), "none"},
        // Fonts: WOFF only with the TrueType flavour.
        {"woff otto", text("wOFFOTTO"), "none"},
        {"woff2 otto", text("wOF2OTTO"), "none"},
        // EOT: version bytes compared as written.
        {"eot 2.2", head(36, {{8, {2, 0, 2, 0}}, {34, "LP"}}), "application/octet-stream eot"},
        {"eot 1.0 as triple", head(36, {{8, {1, 0, 0}}, {34, "LP"}}),
         "application/octet-stream eot"},
        {"eot 0x00020001", head(36, {{8, {1, 0, 2, 0}}, {34, "LP"}}), "none"},
        {"eot 0x00010000", head(36, {{8, {0, 0, 1, 0}}, {34, "LP"}}), "none"},
        {"eot no LP", head(36, {{8, {2, 0, 1}}, {34, "LQ"}}), "none"},
    });
}

Bytes ftyp(std::uint32_t declared, std::string_view major, std::string_view rest, std::size_t len) {
    Bytes h = head(len, {{4, "ftyp"}, {8, major}, {12, "\0\0\0\0"sv}, {16, rest}});
    h[0] = declared >> 24;
    h[1] = (declared >> 16) & 0xFF;
    h[2] = (declared >> 8) & 0xFF;
    h[3] = declared & 0xFF;
    return h;
}

TEST(Sniff, IsoBaseMediaBrands) {
    expect_all({
        // A 256-byte box starts 00 00 01 00, which the icon row claims first.
        {"box 256", ftyp(256, "isom", "", 300), "image/vnd.microsoft.icon ico"},
        {"avif compatible", ftyp(24, "isom", "mp41avif", 24), "image/avif avif"},
        {"avis compatible", ftyp(20, "mp42", "avis", 24), "image/avif avif"},
        // Brands past the declared size do not count; a box longer than the head is not read.
        {"avif outside box", ftyp(20, "isom", "mp41avif", 24), "video/mp4 mp4"},
        {"box past head", ftyp(32, "isom", "mp41avif", 24), "video/mp4 mp4"},
        {"box size zero", ftyp(0, "heic", "", 16), "image/heif heif"},
        {"mif1 heic", ftyp(24, "mif1", "mif1heic", 24), "image/heif heif"},
        {"msf1 heic", ftyp(20, "msf1", "heic", 20), "image/heif heif"},
        {"mif1 avif", ftyp(24, "mif1", "mif1avif", 24), "image/avif avif"},
        {"isom heic", ftyp(20, "isom", "heic", 20), "video/mp4 mp4"},
        {"mif1 alone", ftyp(16, "mif1", "", 16), "none"},
        {"3gp4", ftyp(20, "3gp4", "isom", 20), "none"},
        {"brand case", ftyp(20, "ISOM", "", 20), "none"},
        {"M4V ", ftyp(20, "M4V ", "", 20), "video/x-m4v m4v"},
        {"M4VP", ftyp(20, "M4VP", "", 20), "video/x-m4v m4v"},
        {"M4A ", ftyp(20, "M4A ", "", 20), "audio/m4a m4a"},
        {"F4V", ftyp(20, "F4V ", "", 20), "video/mp4 mp4"},
        {"qt", ftyp(20, "qt  ", "", 20), "video/quicktime mov"},
        {"mdat at 12", head(16, {{12, "mdat"}}), "video/quicktime mov"},
        {"mdat at 12 short", head(15, {{4, "wide"}, {12, "mda"}}), "none"},
        {"webp brand", ftyp(20, "WEBP", "", 20), "image/webp webp"},
    });
}

TEST(Sniff, MatroskaAndAudio) {
    const std::initializer_list<std::uint8_t> ebml = {0x1A, 0x45, 0xDF, 0xA3,
                                                      0x93, 0x42, 0x82, 0x88};
    expect_all({
        {"canonical 15", head(15, {{0, ebml}, {8, "matrosk"}}), "video/webm webm"},
        // One-byte EBML header size: the doc type sits at 24, where nothing looks.
        {"short size",
         head(40,
              {{0, {0x1A, 0x45, 0xDF, 0xA3, 0xA3}}, {21, {0x42, 0x82, 0x88}}, {24, "matroska"}}),
         "video/webm webm"},
        {"zip named _matroska", head(60, {{0, "PK\x03\x04"}, {30, "_matroska.txt"}}),
         "video/x-matroska mkv"},
        {"matroska at 31", head(39, {{31, "matroska"}}), "video/x-matroska mkv"},
        {"mp3 FB", head(3, {{0, {0xFF, 0xFB, 0x90}}}), "audio/mpeg mp3"},
        {"mp3 FB short", head(2, {{0, {0xFF, 0xFB}}}), "none"},
        {"mpeg FA", head(3, {{0, {0xFF, 0xFA, 0x90}}}), "none"},
        {"mpeg F3", head(3, {{0, {0xFF, 0xF3, 0x90}}}), "none"},
        {"mpeg E3", head(3, {{0, {0xFF, 0xE3, 0x90}}}), "none"},
        {"aac F9", head(2, {{0, {0xFF, 0xF9}}}), "audio/aac aac"},
        {"mpeg video C0", head(4, {{0, {0, 0, 1, 0xC0}}}), "none"},
        {"amr 11", head(11, {{0, "#!AMR\n"}}), "text/x-shellscript sh"},
        {"amr-wb", head(16, {{0, "#!AMR-WB\n"}}), "text/x-shellscript sh"},
        {"ogg no opus", head(36, {{0, "OggS"}, {28, "Speex   "}}), "audio/ogg ogg"},
        {"riff other", head(12, {{0, "RIFF"}, {8, "CDXA"}}), "none"},
    });
}

TEST(Sniff, ZstandardSkippableFrames) {
    expect_all({
        {"skip 0", head(12, {{0, {0x50, 0x2A, 0x4D, 0x18}}, {8, {0x28, 0xB5, 0x2F, 0xFD}}}),
         "application/zstd zst"},
        {"skip 2, nibble F",
         head(14, {{0, {0x5F, 0x2A, 0x4D, 0x18, 2}}, {10, {0x28, 0xB5, 0x2F, 0xFD}}}),
         "application/zstd zst"},
        {"two skips",
         head(21, {{0, {0x50, 0x2A, 0x4D, 0x18, 1}},
                   {9, {0x51, 0x2A, 0x4D, 0x18}},
                   {17, {0x28, 0xB5, 0x2F, 0xFD}}}),
         "application/zstd zst"},
        {"skip ends at head end", head(10, {{0, {0x50, 0x2A, 0x4D, 0x18, 2}}}), "none"},
        {"skip past head", head(12, {{0, {0x50, 0x2A, 0x4D, 0x18, 16}}}), "none"},
        {"skip then partial magic",
         head(11, {{0, {0x50, 0x2A, 0x4D, 0x18}}, {8, {0x28, 0xB5, 0x2F}}}), "none"},
        // 8 + 0xFFFFFFF8 wraps to 0 in 32 bits; it must not bring the search back to the start.
        {"length wraps",
         head(12, {{0, {0x50, 0x2A, 0x4D, 0x18, 0xF8, 0xFF, 0xFF, 0xFF, 0x28, 0xB5, 0x2F, 0xFD}}}),
         "none"},
        {"not skippable", head(12, {{0, {0x60, 0x2A, 0x4D, 0x18}}, {8, {0x28, 0xB5, 0x2F, 0xFD}}}),
         "none"},
    });
}

TEST(Sniff, HtmlAndXmlText) {
    expect_all({
        {"doctype", text("<!DOCTYPE html>"), "text/html html"},
        {"doctype lower", text("<!doctype html>"), "text/html html"},
        {"doctype two spaces", text("<!DOCTYPE  html>"), "none"},
        {"leading space", text("\t\n\f\r <HTML lang=en>"), "text/html html"},
        {"vertical tab", text("\v<html>"), "none"},
        {"bom", text("\xEF\xBB\xBF<html>"), "none"},
        {"br", text("<BR>"), "text/html html"},
        {"br slash", text("<br/>"), "none"},
        {"tab after tag", text("<p\tclass=x>"), "none"},
        {"a", text("<a>"), "text/html html"},
        {"a short", text("<a"), "none"},
        {"comment", text("<!-- c -->"), "text/html html"},
        {"comment tight", text("<!--c-->"), "none"},
        {"bodyx", text("<bodyx>"), "none"},
        {"xml", text("<?XML version=\"1.0\"?>"), "text/xml xml"},
        {"xml space", text(" \r\n<?xml"), "text/xml xml"},
        {"xml bom", text("\xEF\xBB\xBF<?xml"), "text/xml xml"},
        {"xml space bom", text(" \xEF\xBB\xBF<?xml"), "text/xml xml"},
        {"xml bom space", text("\xEF\xBB\xBF <?xml"), "none"},
        {"xml many boms", text("\xFE\xFF\xFF\xFE\xEF\xBB\xBF<?xml"), "text/xml xml"},
        {"xml utf-16", text("<\0?\0x\0m\0l\0"sv), "none"},
        {"xml short", text("<?xm"), "none"},
        {"xml comment first", text("<!-- x --><?xml"), "text/html html"},
    });
}

// ---------------------------------------------------------------------------------------------
// Zip-based formats.

// Appends a stored zip entry: local header, name, then `size` bytes of data. The compressed
// size written is `declared` when given.
void add_entry(Bytes& zip, std::string_view name, std::size_t size,
               std::optional<std::uint32_t> declared = std::nullopt) {
    const std::size_t at = zip.size();
    zip.resize(at + 30);
    std::copy_n("PK\x03\x04", 4, zip.begin() + at);
    put16(zip, at + 4, 20);
    put32(zip, at + 18, declared.value_or(static_cast<std::uint32_t>(size)));
    put32(zip, at + 22, static_cast<std::uint32_t>(size));
    put16(zip, at + 26, static_cast<std::uint16_t>(name.size()));
    zip.insert(zip.end(), name.begin(), name.end());
    zip.insert(zip.end(), size, 'x');
}

Bytes zip_of(std::initializer_list<std::pair<std::string_view, std::size_t>> entries) {
    Bytes zip;
    for (const auto& [name, size] : entries) add_entry(zip, name, size);
    return zip;
}

constexpr const char* kDocx =
    "application/vnd.openxmlformats-officedocument.wordprocessingml.document docx";
constexpr const char* kXlsx =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet xlsx";
constexpr const char* kPptx =
    "application/vnd.openxmlformats-officedocument.presentationml.presentation pptx";
constexpr const char* kZip = "application/zip zip";

TEST(Sniff, OfficeOpenXml) {
    Bytes huge_size = zip_of({});
    // The compressed size plus 49 needs 33 bits; cut to 32 it would land inside the first
    // entry and the search would find the real second header.
    add_entry(huge_size, "[Content_Types].xml", 100, 0xFFFFFFFF);
    add_entry(huge_size, "_rels/.rels", 50);
    add_entry(huge_size, "word/_rels/document.xml.rels", 50);
    add_entry(huge_size, "word/document.xml", 50);

    expect_all({
        {"first entry decides", zip_of({{"word/document.xml", 10}}), kDocx},
        {"first xl", zip_of({{"xl/workbook.xml", 10}}), kXlsx},
        {"first ppt", zip_of({{"ppt/presentation.xml", 10}}), kPptx},
        {"usual docx",
         zip_of({{"[Content_Types].xml", 100},
                 {"_rels/.rels", 50},
                 {"word/_rels/document.xml.rels", 50},
                 {"word/document.xml", 50}}),
         kDocx},
        {"fourth decides",
         zip_of({{"[Content_Types].xml", 100},
                 {"_rels/.rels", 50},
                 {"xl/x.xml", 50},
                 {"word/y.xml", 50}}),
         kDocx},
        {"fourth not a part",
         zip_of({{"[Content_Types].xml", 100},
                 {"_rels/.rels", 50},
                 {"xl/x.xml", 50},
                 {"customXml/item1.xml", 50}}),
         kZip},
        {"no fourth",
         zip_of({{"[Content_Types].xml", 100}, {"_rels/.rels", 50}, {"word/document.xml", 50}}),
         kZip},
        {"third not a part",
         zip_of({{"[Content_Types].xml", 100},
                 {"_rels/.rels", 50},
                 {"docProps/app.xml", 50},
                 {"word/document.xml", 50}}),
         kZip},
        {"unknown first",
         zip_of({{"mimetype", 10}, {"_rels/.rels", 50}, {"word/a.xml", 50}, {"word/b.xml", 50}}),
         kZip},
        // A shorter first name sends the search past the real second header, so every later
        // header counts one place early: the fifth entry decides here.
        {"docProps first",
         zip_of({{"docProps/app.xml", 40},
                 {"_rels/.rels", 40},
                 {"word/document.xml", 40},
                 {"xl/x.xml", 40},
                 {"ppt/y.xml", 40}}),
         kPptx},
        {"docProps first, four entries",
         zip_of({{"docProps/app.xml", 40},
                 {"_rels/.rels", 40},
                 {"word/document.xml", 40},
                 {"xl/x.xml", 40}}),
         kZip},
        // The fourth header must lie within 6000 bytes of the third's name + 26: "word/a" plus
        // 6016 data bytes puts it at 5996, its last byte at 5999.
        {"window edge",
         zip_of(
             {{"[Content_Types].xml", 10}, {"_rels/.rels", 10}, {"word/a", 6016}, {"word/b", 10}}),
         kDocx},
        {"window edge + 1",
         zip_of(
             {{"[Content_Types].xml", 10}, {"_rels/.rels", 10}, {"word/a", 6017}, {"word/b", 10}}),
         kZip},
        // The third header within 6000 bytes of the second's name.
        {"second window edge",
         zip_of(
             {{"[Content_Types].xml", 10}, {"_rels/.rels", 5985}, {"word/a", 30}, {"word/b", 10}}),
         kDocx},
        {"second window edge + 1",
         zip_of(
             {{"[Content_Types].xml", 10}, {"_rels/.rels", 5986}, {"word/a", 30}, {"word/b", 10}}),
         kZip},
        {"size overflows", huge_size, kZip},
        {"no name", head(34, {{0, "PK\x03\x04"}, {30, "wor"}}), kZip},
    });
}

TEST(Sniff, ZipFamily) {
    expect_all({
        {"central directory", text("PK\x01\x02"), "none"},
        {"end of directory", text("PK\x05\x06"), kZip},
        {"spanned", text("PK\x07\x08"), kZip},
        {"PK00", text("PK00PK\x03\x04"), kZip},
        {"PK00 short", text("PK00PK\x03"), "none"},
        {"odt template", head(90, {{0, "PK\x03\x04"}, {30, kOdf + "text-template"}}),
         "application/vnd.oasis.opendocument.text odt"},
        {"ods template", head(100, {{0, "PK\x03\x04"}, {30, kOdf + "spreadsheet-template"}}),
         "application/vnd.oasis.opendocument.spreadsheet ods"},
        {"odp template", head(100, {{0, "PK\x03\x04"}, {30, kOdf + "presentation-template"}}),
         "application/vnd.oasis.opendocument.presentation odp"},
        {"odg", head(100, {{0, "PK\x03\x04"}, {30, kOdf + "graphics"}}), kZip},
        {"odt, bytes 38-49 ignored",
         head(90, {{0, "PK\x03\x04"}, {30, "mimetype????????????vnd.oasis.opendocument.text"}}),
         "application/vnd.oasis.opendocument.text odt"},
        {"epub", head(80, {{0, "PK\x03\x04"}, {30, "mimetypeapplication/epub+zip"}}),
         "application/epub+zip epub"},
        {"epub short", head(57, {{0, "PK\x03\x04"}, {30, "mimetypeapplication/epub+zi"}}), kZip},
    });
}

// ---------------------------------------------------------------------------------------------
// Compound files.

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFFFE;

constexpr std::initializer_list<std::uint8_t> kWordClsid = {
    0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// A version 3 compound file with 512-byte sectors. The full form has 5 sectors: the FAT (0),
// a two-sector directory (1, 2), the MiniFAT (3) and one free sector (4). The small form has
// only the FAT and a one-sector directory, 1536 bytes in all. The directory holds the root,
// a stream "WordDocument" under it with "1Table" to its left and "\5SummaryInformation" to
// its right, and unused entries.
struct CompoundFile {
    explicit CompoundFile(std::initializer_list<std::uint8_t> root_clsid, bool small = false)
        : bytes(small ? 1536 : 3072, 0) {
        std::copy_n("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8, bytes.begin());
        put16(bytes, 24, 0x3E);
        put16(bytes, 26, 3);
        put16(bytes, 28, 0xFFFE);
        put16(bytes, 30, 9);
        put16(bytes, 32, 6);
        put32(bytes, 44, 1);                 // FAT sectors
        put32(bytes, 48, 1);                 // first directory sector
        put32(bytes, 56, 4096);              // mini stream cutoff
        put32(bytes, 60, small ? kEnd : 3);  // first MiniFAT sector
        put32(bytes, 64, small ? 0 : 1);
        put32(bytes, 68, kEnd);  // no DIFAT sectors
        put32(bytes, 72, 0);
        put32(bytes, 76, 0);  // the FAT is sector 0
        for (std::size_t o = 80; o < 512; o += 4) put32(bytes, o, kFree);

        for (std::size_t i = 0; i < 128; ++i) fat(i, kFree);
        fat(0, 0xFFFFFFFD);
        const std::size_t entries = small ? 4 : 8;
        if (small) {
            fat(1, kEnd);
        } else {
            fat(1, 2);
            fat(2, kEnd);
            fat(3, kEnd);
            put32(bytes, sector(3), kEnd);  // one mini sector in use
            for (std::size_t o = 4; o < 512; o += 4) put32(bytes, sector(3) + o, kFree);
        }
        entry(0, u"Root Entry", 5, kFree, kFree, 1, small ? 0 : 64);
        std::copy(root_clsid.begin(), root_clsid.end(), bytes.begin() + entry_at(0) + 80);
        entry(1, u"WordDocument", 2, 2, 3, kFree);
        entry(2, u"1Table", 2, kFree, kFree, kFree);
        entry(3, u"\u0005SummaryInformation", 2, kFree, kFree, kFree);
        for (std::size_t i = 4; i < entries; ++i) entry(i, u"", 0, kFree, kFree, kFree);
    }

    static std::size_t sector(std::size_t k) { return 512 * (k + 1); }
    static std::size_t entry_at(std::size_t i) { return sector(1) + 128 * i; }  // 1 then 2
    void fat(std::size_t i, std::uint32_t v) { put32(bytes, sector(0) + 4 * i, v); }

    void entry(std::size_t i, std::u16string_view name, std::uint8_t type, std::uint32_t left,
               std::uint32_t right, std::uint32_t child, std::uint32_t size = 0) {
        const std::size_t at = entry_at(i);
        std::fill(bytes.begin() + at, bytes.begin() + at + 128, 0);
        for (std::size_t u = 0; u < name.size(); ++u) put16(bytes, at + 2 * u, name[u]);
        put16(bytes, at + 64, name.empty() ? 0 : static_cast<std::uint16_t>(2 * name.size() + 2));
        bytes[at + 66] = type;
        bytes[at + 67] = 1;  // black
        put32(bytes, at + 68, left);
        put32(bytes, at + 72, right);
        put32(bytes, at + 76, child);
        put32(bytes, at + 120, size);
    }

    Bytes bytes;
};

constexpr const char* kMsi = "application/x-ole-storage msi";

template <class Edit>
Bytes word_with(Edit edit) {
    CompoundFile f(kWordClsid);
    edit(f);
    return f.bytes;
}

TEST(Sniff, CompoundFileApplications) {
    CompoundFile small(kWordClsid, true);
    Bytes small_short(small.bytes.begin(), small.bytes.end() - 1);
    expect_all({
        {"word", CompoundFile(kWordClsid).bytes, "application/msword doc"},
        {"word 1536", small.bytes, "application/msword doc"},
        {"word 1535", small_short, kMsi},
        {"excel 0810",
         CompoundFile({0x10, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}).bytes,
         "application/vnd.ms-excel xls"},
        {"excel 0820",
         CompoundFile({0x20, 0x08, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46}).bytes,
         "application/vnd.ms-excel xls"},
        {"powerpoint",
         CompoundFile({0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11, 0x86, 0xEA, 0x00, 0xAA, 0x00,
                       0xB9, 0x29, 0xE8})
             .bytes,
         "application/vnd.ms-powerpoint ppt"},
        {"unknown clsid", CompoundFile({0x06, 0x09, 0x02}).bytes, kMsi},
        {"clsid only in header", word_with([](CompoundFile& f) {
             std::fill_n(f.bytes.begin() + CompoundFile::entry_at(0) + 80, 16, 0);
             std::copy(kWordClsid.begin(), kWordClsid.end(), f.bytes.begin() + 8);
         }),
         kMsi},
    });
}

TEST(Sniff, CompoundFileStructure) {
    expect_all({
        // The last sector may be partial as long as nothing reads it.
        {"partial free sector", word_with([](CompoundFile& f) { f.bytes.resize(3071); }),
         "application/msword doc"},
        {"free sector cut off", word_with([](CompoundFile& f) { f.bytes.resize(2560); }),
         "application/msword doc"},
        {"minifat cut short", word_with([](CompoundFile& f) { f.bytes.resize(2559); }), kMsi},
        {"byte order mark", word_with([](CompoundFile& f) { put16(f.bytes, 28, 0xFEFF); }), kMsi},
        {"version 4", word_with([](CompoundFile& f) {
             put16(f.bytes, 26, 4);
             put16(f.bytes, 30, 12);
         }),
         kMsi},
        {"duplicate fat value", word_with([](CompoundFile& f) { f.fat(4, 2); }), kMsi},
        {"invalid fat value", word_with([](CompoundFile& f) { f.fat(4, 0xFFFFFFFB); }), kMsi},
        {"fat count", word_with([](CompoundFile& f) { put32(f.bytes, 44, 2); }), kMsi},
        {"fat sector listed 109 times", word_with([](CompoundFile& f) {
             for (std::size_t o = 76; o < 512; o += 4) put32(f.bytes, o, 0);
             put32(f.bytes, 44, 109);
         }),
         kMsi},
        {"directory loop", word_with([](CompoundFile& f) { f.fat(2, 1); }), kMsi},
        {"tree loop", word_with([](CompoundFile& f) { put32(f.bytes, f.entry_at(2) + 68, 1); }),
         kMsi},
        {"link past entries",
         word_with([](CompoundFile& f) { put32(f.bytes, f.entry_at(2) + 68, 8); }), kMsi},
        {"stream with child",
         word_with([](CompoundFile& f) { put32(f.bytes, f.entry_at(2) + 76, 4); }), kMsi},
        {"slash in unused entry",
         word_with([](CompoundFile& f) { f.entry(6, u"a/b", 0, kFree, kFree, kFree); }), kMsi},
        {"unpaired surrogate",
         word_with([](CompoundFile& f) { f.entry(2, u"1Tab\xD800", 2, kFree, kFree, kFree); }),
         kMsi},
        {"odd name length",
         word_with([](CompoundFile& f) { put16(f.bytes, f.entry_at(5) + 64, 3); }), kMsi},
        {"difat count", word_with([](CompoundFile& f) { put32(f.bytes, 72, 1); }), kMsi},
        {"colour 2", word_with([](CompoundFile& f) { f.bytes[f.entry_at(7) + 67] = 2; }), kMsi},
        {"root size not a multiple of 64",
         word_with([](CompoundFile& f) { put32(f.bytes, f.entry_at(0) + 120, 65); }), kMsi},
        {"minifat larger than the mini stream",
         word_with([](CompoundFile& f) { put32(f.bytes, f.entry_at(0) + 120, 0); }), kMsi},
        {"minifat count", word_with([](CompoundFile& f) { put32(f.bytes, 64, 2); }), kMsi},
        {"minifat start free", word_with([](CompoundFile& f) { put32(f.bytes, 60, kFree); }), kMsi},
        {"minifat value past the count",
         word_with([](CompoundFile& f) { put32(f.bytes, CompoundFile::sector(3), 1); }), kMsi},
        // The overflow DIFAT: sector 4 holds no further FAT sectors and ends the chain.
        {"difat sector", word_with([](CompoundFile& f) {
             put32(f.bytes, 68, 4);
             put32(f.bytes, 72, 1);
             f.fat(4, 0xFFFFFFFC);
             for (std::size_t o = 0; o < 508; o += 4) put32(f.bytes, f.sector(4) + o, kFree);
             put32(f.bytes, f.sector(4) + 508, kEnd);
         }),
         "application/msword doc"},
        {"difat sector loops", word_with([](CompoundFile& f) {
             put32(f.bytes, 68, 4);
             put32(f.bytes, 72, 1);
             f.fat(4, 0xFFFFFFFC);
             for (std::size_t o = 0; o < 508; o += 4) put32(f.bytes, f.sector(4) + o, kFree);
             put32(f.bytes, f.sector(4) + 508, 4);
         }),
         kMsi},
    });
}

TEST(Sniff, CompoundFileNameOrder) {
    // Root -> child "T"; the left sibling of "T" must sort strictly before it: shorter names
    // first, then full upper-case forms code point by code point.
    const auto with_left = [](std::u16string_view parent, std::u16string_view left) {
        return word_with([&](CompoundFile& f) {
            f.entry(1, parent, 2, 2, kFree, kFree);
            f.entry(2, left, 2, kFree, kFree, kFree);
            f.entry(3, u"", 0, kFree, kFree, kFree);
        });
    };
    expect_all({
        {"S before T", with_left(u"T", u"S"), "application/msword doc"},
        {"U after T", with_left(u"T", u"U"), kMsi},
        {"case folds", with_left(u"T", u"t"), kMsi},
        {"shorter first", with_left(u"AB", u"Z"), "application/msword doc"},
        {"longer after", with_left(u"Z", u"AB"), kMsi},
        // U+00DF upper-cases to "SS", which sorts before "T"; as a single code point it
        // would sort after.
        {"sharp s before T", with_left(u"T", u"\u00DF"), "application/msword doc"},
        {"sharp s A before SU", with_left(u"SU", u"\u00DFA"), "application/msword doc"},
        // U+017F (long s) upper-cases to "S": equal names are not ordered.
        {"long s equals S", with_left(u"S", u"\u017F"), kMsi},
        // Surrogate pairs: U+10428 upper-cases to U+10400.
        {"deseret folds", with_left(u"\U00010400", u"\U00010428"), kMsi},
        {"ascii before deseret", with_left(u"\U00010428", u"AB"), "application/msword doc"},
    });
}

}  // namespace
}  // namespace vorandix
