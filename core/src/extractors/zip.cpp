// ZIP archives and the formats built on them (office documents, Java and Android packages,
// EPUB and OpenDocument), described from the central directory (PKWARE APPNOTE 4.3.12 and
// 4.3.16). Local headers and entry data are never read, so a multi-gigabyte archive costs only
// its directory.
#include <cstdio>
#include <cstring>

#include "extractors/toolkit.hpp"

namespace vorandix::extractors::zip {

namespace {

constexpr std::string_view kEndSignature = "PK\x05\x06";
constexpr std::string_view kEntrySignature = "PK\x01\x02";
constexpr std::size_t kEndRecord = 22;
constexpr std::size_t kEntryHeader = 46;

// The end record is looked for backwards from the end in blocks of this size: a typical
// archive has it in the first block, and one without it costs a block of memory, not the file.
constexpr std::size_t kSearchBlock = 65536;

constexpr Label<std::uint16_t> kMethods[] = {
    {0, "stored"}, {8, "deflate"}, {9, "deflate64"}, {14, "lzma"}, {93, "zstd"}, {99, "AES encrypted"},
};

// MS-DOS date and time words as YYYY-MM-DDTHH:MM:SS. Fields are printed as stored, without
// range checks, so a zeroed or damaged stamp stays visible as such.
std::string dos_time(unsigned date, unsigned time) {
    char out[40];
    std::snprintf(out, sizeof out, "%04u-%02u-%02uT%02u:%02u:%02u", (date >> 9) + 1980,
                  (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
    return out;
}

// Labels the archive by the first rule (in this order) that any entry name satisfies.
class ContainerKind {
public:
    void see(std::string_view name) {
        const bool hits[kRules] = {
            name == "word/document.xml",    name.starts_with("xl/"),       name.starts_with("ppt/"),
            name == "META-INF/MANIFEST.MF", name == "AndroidManifest.xml", name == "mimetype",
        };
        for (std::size_t i = 0; i < kRules; ++i) seen_[i] = seen_[i] || hits[i];
    }
    const char* label() const {
        static constexpr const char* kLabels[kRules] = {
            "Word document (docx)", "Excel workbook (xlsx)", "PowerPoint (pptx)",
            "Java archive (jar)",   "Android package (apk)", "EPUB/OpenDocument",
        };
        for (std::size_t i = 0; i < kRules; ++i) {
            if (seen_[i]) return kLabels[i];
        }
        return "plain zip";
    }

private:
    static constexpr std::size_t kRules = 6;
    bool seen_[kRules] = {};
};

// The offset of the last "PK\5\6" in the input, searching back from the end without limit.
// The comment length is not used to confirm a hit, so a signature inside the comment wins.
std::optional<std::uint64_t> find_end_record(Input& in) {
    std::uint64_t end = in.size();  // bytes [.., end) are still to be searched
    while (end >= kEndSignature.size()) {
        const std::uint64_t begin = end > kSearchBlock ? end - kSearchBlock : 0;
        const ByteView block = in.at(begin, static_cast<std::size_t>(end - begin));
        // The last hit in the block is the one wanted. memmem keeps an even pace on any
        // content, where a scan for 'P' from the back would crawl through a run of 'P's.
        std::optional<std::uint64_t> last;
        for (std::size_t from = 0; block.size() - from >= kEndSignature.size();) {
            const void* hit = memmem(block.data() + from, block.size() - from,
                                     kEndSignature.data(), kEndSignature.size());
            if (!hit) break;
            const auto at =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - block.data());
            last = begin + at;
            from = at + 1;
        }
        if (last) return last;
        if (begin == 0 || block.empty()) break;
        // Overlap by three bytes so a signature across the block boundary is still seen.
        end = begin + kEndSignature.size() - 1;
    }
    return std::nullopt;
}

}  // namespace

bool applies(const ExtractContext& ctx) {
    return has_at(ctx.head, 0, "PK\x03\x04") || has_at(ctx.head, 0, kEndSignature);
}

ExtractResult extract(Input& in, Section section) {
    const auto found = find_end_record(in);
    if (!found) return in.malformed("no end-of-central-directory record");
    std::array<std::uint8_t, kEndRecord> record;
    Fields r(in.fill(*found, record));
    if (r.left() < kEndRecord) return in.malformed("truncated end-of-central-directory record");
    const std::uint16_t declared_entries = r.skip(10).u16le();
    // Taken as an absolute position: data prepended to the archive is not corrected for.
    const std::uint64_t directory = r.skip(4).u32le();

    const std::uint64_t size = in.size();
    MetaList entries;
    ContainerKind kind;
    std::uint64_t compressed_total = 0;
    std::uint64_t uncompressed_total = 0;
    // Each header needs its 46 bytes present in the input, so the list grows only with bytes
    // actually read, never with the declared count. p stays below the size, and a step adds at
    // most 46 + 3 * 65535, so the sum cannot wrap.
    for (std::uint64_t p = directory; kEntryHeader <= size && p <= size - kEntryHeader;) {
        if (!in.admit("entries", entries.size())) break;
        std::array<std::uint8_t, kEntryHeader> header;
        Fields h(in.fill(p, header));
        if (h.left() < kEntryHeader || !has_at(header, 0, kEntrySignature)) break;
        const std::uint16_t method = h.skip(10).u16le();
        const std::uint16_t time = h.u16le();
        const std::uint16_t date = h.u16le();
        const std::uint32_t compressed = h.skip(4).u32le();
        const std::uint32_t uncompressed = h.u32le();
        const std::uint16_t name_len = h.u16le();
        const std::uint16_t extra_len = h.u16le();
        const std::uint16_t comment_len = h.u16le();

        // Cut at the end of the input when the declared length runs past it.
        std::string entry_name =
            in.keep_text("entries.name", utf8_lossy(in.at(p + kEntryHeader, name_len)));
        kind.see(entry_name);

        MetaObject entry;
        entry.reserve(5);
        entry.insert_string("name", std::move(entry_name));
        entry.insert_string("method", label_of(kMethods, method, "other"));
        entry.insert_u64("compressed", compressed);
        entry.insert_u64("uncompressed", uncompressed);
        entry.insert_string("modified", dos_time(date, time));
        entries.push_back(MetaValue::object(std::move(entry)));
        compressed_total += compressed;
        uncompressed_total += uncompressed;

        p += kEntryHeader + std::uint64_t{name_len} + extra_len + comment_len;
    }

    section.insert_u64("entry_count", declared_entries);
    if (uncompressed_total > 0) {
        const double ratio =
            static_cast<double>(compressed_total) / static_cast<double>(uncompressed_total);
        section.insert("compression_ratio", MetaValue::floating(round3(ratio)));
    }
    section.insert_string("container_kind", kind.label());
    section.insert_list("entries", std::move(entries));
    return section;
}

}  // namespace vorandix::extractors::zip
