// libFuzzer target: the engine by path, as parse does: the input is written to a memory file
// and opened by its name, so the file source, its buffering and the seeks are exercised.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "vorandix/document.hpp"
#include "vorandix/engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const int fd = memfd_create("vorandix-fuzz", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    auto report = vorandix::parse_path(path);
    if (!report) std::abort();  // the file is there: opening it cannot fail
    vorandix::DocValue doc = vorandix::to_document(std::move(*report));
    (void)doc;
    return 0;
}
