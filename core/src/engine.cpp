#include "vorandix/engine.hpp"

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "vorandix/sniff.hpp"

namespace vorandix {

namespace {

constexpr std::uint64_t kHeadSize = 8192;

// Closes a descriptor on every way out of parse_path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Whether the file system holding `fd` makes up its files' sizes: /proc reports 0 for files
// with content, /sys 4096 for a few bytes. Unknown file systems are taken to store sizes.
bool sizes_made_up(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case BPF_FS_MAGIC:
        case PSTOREFS_MAGIC:
        case EFIVARFS_MAGIC:
            return true;
        default:
            return false;
    }
}

IoResult<FileFacts> file_metadata(int fd) {
    struct statx stx;
    FileFacts out;
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
        out.size = stx.stx_size;
        out.size_is_content = S_ISREG(stx.stx_mode) && !sizes_made_up(fd);
        if (stx.stx_mask & STATX_MTIME) out.modified_seconds = stx.stx_mtime.tv_sec;
        // Only file systems that record a birth time report one.
        if (stx.stx_mask & STATX_BTIME) out.created_seconds = stx.stx_btime.tv_sec;
        return out;
    }
    if (errno != ENOSYS) return IoError::os(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) return IoError::os(errno);
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.size_is_content = S_ISREG(st.st_mode) && !sizes_made_up(fd);
    out.modified_seconds = st.st_mtim.tv_sec;
    return out;
}

void insert_unix_time(MetaObject& fields, const char* word, std::optional<std::int64_t> seconds) {
    // Seconds are floored, so a time before the epoch is negative whatever its fraction, and
    // has no key.
    if (!seconds || *seconds < 0) return;
    fields.insert_u64(std::string(word) + "_unix", static_cast<std::uint64_t>(*seconds));
}

}  // namespace

Report run_extractors(ByteSource& source, std::uint64_t total_len, const RunOptions& options) {
    return run_extractors(source, total_len, registry(), options);
}

Report run_extractors(ByteSource& source, std::uint64_t total_len,
                      std::span<const Extractor* const> extractors, const RunOptions& options) {
    const auto cap = static_cast<std::size_t>(std::min(total_len, kHeadSize));
    std::array<std::uint8_t, kHeadSize> head_buffer;
    StopCheck stop(options.interrupt);
    // Detached on every way out: the source may outlive this run.
    struct Attach {
        ByteSource& source;
        ~Attach() { source.set_stop(nullptr); }
    } attach{source};
    source.set_stop(&stop);
    ExtractContext ctx;
    ctx.total_len = total_len;
    ctx.options = options;
    if (options.interrupt) ctx.stop = &stop;
    (void)source.seek(0, Whence::Start);
    if (cap > 0) {
        // One read only: a short head is the head.
        auto got = source.read(head_buffer.data(), cap);
        if (got) {
            ctx.head = ByteView(head_buffer.data(), std::min(*got, cap));
        } else if (got.error().code == EINTR) {
            stop.ask();
        }
    }
    if (auto type = sniff(ctx.head)) {
        ctx.mime_type = type->mime_type;
        ctx.extension = type->extension;
    }

    std::vector<Section> sections;
    std::vector<ErrorRecord> errors;
    for (const Extractor* extractor : extractors) {
        if (stop.stopped()) break;
        if (!extractor->applies(ctx)) continue;
        (void)source.seek(0, Whence::Start);
        ExtractResult result = extractor->extract(source, ctx);
        if (auto* section = std::get_if<Section>(&result)) {
            if (!section->fields.empty()) sections.push_back(std::move(*section));
        } else {
            errors.push_back({extractor->name(), std::get<ExtractError>(result).message()});
        }
    }
    Report report = assemble(std::move(sections), std::move(errors));
    report.interrupted = stop.stopped();
    return report;
}

std::string path_file_name(const std::string& path) {
    // The last component, ignoring empty and "." components as the file system does.
    std::string_view last;
    std::size_t i = 0;
    while (i < path.size()) {
        const std::size_t slash = path.find('/', i);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string_view part(path.data() + i, end - i);
        if (!part.empty() && part != ".") last = part;
        i = end + 1;
    }
    if (last == "..") return "";
    return std::string(last);
}

std::optional<std::string> file_name_extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name == "..") return std::nullopt;
    return name.substr(dot + 1);
}

Report run_on_file(ByteSource& source, const std::string& path, const FileFacts& facts,
                   const RunOptions& options) {
    RunOptions run = options;
    run.length_is_content = facts.size_is_content;
    Report report = run_extractors(source, facts.size, run);
    // The "file" reader may have failed; the path facts still belong in a "file" section.
    MetaObject& fields = report.sections["file"];
    const std::string name = path_file_name(path);
    fields.insert_string("name", utf8_lossy(name));
    if (auto ext = file_name_extension(name)) {
        fields.insert_string("extension_claimed", utf8_lossy(*ext));
    }
    insert_unix_time(fields, "modified", facts.modified_seconds);
    insert_unix_time(fields, "created", facts.created_seconds);
    return report;
}

IoResult<Report> parse_path(const std::string& path, const RunOptions& options) {
    if (path.find('\0') != std::string::npos) {
        return IoError{"file name contained an unexpected NUL byte", 0};
    }
    // Opening a FIFO that has no writer would wait for one without end: the open does not
    // wait, and reads then do as usual (one of a FIFO without a writer finds its end).
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return IoError::os(errno);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) return IoError::os(errno);
    auto facts = file_metadata(fd.get());
    if (!facts) return facts.error();
    FileSource source(fd.get());
    return run_on_file(source, path, *facts, options);
}

}  // namespace vorandix
