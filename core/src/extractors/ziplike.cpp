// ZIP archives and the formats built on them (office documents, Java and Android packages,
// EPUB and OpenDocument), described from the central directory (PKWARE APPNOTE 4.3.12 and
// 4.3.16). Local headers and entry data are never read, so a multi-gigabyte archive costs only
// its directory.
#include <cstdio>
#include <cstring>

#include "extractors/extractors.hpp"

namespace vorandix {

namespace {

constexpr std::string_view kEndSignature = "PK\x05\x06";
constexpr std::string_view kEntrySignature = "PK\x01\x02";
constexpr std::size_t kEndRecord = 22;
constexpr std::size_t kEntryHeader = 46;

// The end record is looked for backwards from the end in blocks of this size: a typical
// archive has it in the first block, and one without it costs a block of memory, not the file.
constexpr std::size_t kSearchBlock = 65536;

const char* method_label(std::uint16_t method) {
    switch (method) {
        case 0:
            return "stored";
        case 8:
            return "deflate";
        case 9:
            return "deflate64";
        case 14:
            return "lzma";
        case 93:
            return "zstd";
        case 99:
            return "AES encrypted";
        default:
            return "other";
    }
}

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
IoResult<std::optional<std::uint64_t>> find_end_record(RandomAccess& input, std::uint64_t size) {
    std::uint64_t end = size;  // bytes [.., end) are still to be searched
    while (end >= kEndSignature.size()) {
        const std::uint64_t begin = end > kSearchBlock ? end - kSearchBlock : 0;
        auto block = input.at(begin, static_cast<std::size_t>(end - begin));
        if (!block) return block.error();
        // The last hit in the block is the one wanted. memmem keeps an even pace on any
        // content, where a scan for 'P' from the back would crawl through a run of 'P's.
        const std::uint8_t* data = block->data();
        const std::size_t n = block->size();
        std::optional<std::uint64_t> last;
        for (std::size_t from = 0; n - from >= kEndSignature.size();) {
            const void* hit =
                memmem(data + from, n - from, kEndSignature.data(), kEndSignature.size());
            if (!hit) break;
            const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data);
            last = begin + at;
            from = at + 1;
        }
        if (last) return last;
        if (begin == 0) break;
        // Overlap by three bytes so a signature across the block boundary is still seen.
        end = begin + kEndSignature.size() - 1;
    }
    return std::optional<std::uint64_t>();
}

class ZipExtractor final : public Extractor {
public:
    const char* name() const override { return "zip"; }

    bool applies(const ExtractContext& ctx) const override {
        return has_at(ctx.head, 0, "PK\x03\x04") || has_at(ctx.head, 0, kEndSignature);
    }

    ExtractResult extract(ByteSource& source, const ExtractContext&) const override {
        RandomAccess input(source);
        auto size = input.size();
        if (!size) return ExtractError::io(size.error());
        auto found = find_end_record(input, *size);
        if (!found) return ExtractError::io(found.error());
        if (!*found) return ExtractError::malformed(name(), "no end-of-central-directory record");
        auto record = input.at(**found, kEndRecord);
        if (!record) return ExtractError::io(record.error());
        if (record->size() < kEndRecord) {
            return ExtractError::malformed(name(), "truncated end-of-central-directory record");
        }
        const std::uint16_t declared_entries = load_u16le(record->data() + 10);
        // Taken as an absolute position: data prepended to the archive is not corrected for.
        const std::uint64_t directory = load_u32le(record->data() + 16);

        MetaList entries;
        ContainerKind kind;
        std::uint64_t compressed_total = 0;
        std::uint64_t uncompressed_total = 0;
        // Each header needs its 46 bytes present in the input, so the list grows only with
        // bytes actually read, never with the declared count. p stays below the size, and a
        // step adds at most 46 + 3 * 65535, so the sum cannot wrap.
        for (std::uint64_t p = directory; kEntryHeader <= *size && p <= *size - kEntryHeader;) {
            auto header = input.at(p, kEntryHeader);
            if (!header) return ExtractError::io(header.error());
            if (header->size() < kEntryHeader || !has_at(*header, 0, kEntrySignature)) break;
            const std::uint8_t* h = header->data();
            const std::uint16_t method = load_u16le(h + 10);
            const std::uint16_t time = load_u16le(h + 12);
            const std::uint16_t date = load_u16le(h + 14);
            const std::uint32_t compressed = load_u32le(h + 20);
            const std::uint32_t uncompressed = load_u32le(h + 24);
            const std::uint16_t name_len = load_u16le(h + 28);
            const std::uint16_t extra_len = load_u16le(h + 30);
            const std::uint16_t comment_len = load_u16le(h + 32);

            // Cut at the end of the input when the declared length runs past it.
            auto name_bytes = input.at(p + kEntryHeader, name_len);
            if (!name_bytes) return ExtractError::io(name_bytes.error());
            std::string entry_name = utf8_lossy(*name_bytes);
            kind.see(entry_name);

            MetaObject entry;
            entry.insert_string("name", std::move(entry_name));
            entry.insert_str("method", method_label(method));
            entry.insert_u64("compressed", compressed);
            entry.insert_u64("uncompressed", uncompressed);
            entry.insert_string("modified", dos_time(date, time));
            entries.push_back(MetaValue::object(std::move(entry)));
            compressed_total += compressed;
            uncompressed_total += uncompressed;

            p += kEntryHeader + std::uint64_t{name_len} + extra_len + comment_len;
        }

        Section section(name());
        section.insert_u64("entry_count", declared_entries);
        if (uncompressed_total > 0) {
            const double ratio =
                static_cast<double>(compressed_total) / static_cast<double>(uncompressed_total);
            section.insert("compression_ratio", MetaValue::floating(round3(ratio)));
        }
        section.insert_str("container_kind", kind.label());
        section.insert_list("entries", std::move(entries));
        return section;
    }
};

}  // namespace

const Extractor& zip_extractor() {
    static const ZipExtractor reader;
    return reader;
}

}  // namespace vorandix
