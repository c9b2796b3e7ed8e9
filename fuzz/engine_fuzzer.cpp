// libFuzzer target: the whole engine over a memory source, with the document form built, as
// parse_bytes does. Built by fuzz/run.sh, with the core itself instrumented and sanitized.
#include <cstddef>
#include <cstdint>

#include "vorandix/document.hpp"
#include "vorandix/engine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vorandix::MemorySource source(vorandix::ByteView(data, size));
    vorandix::DocValue doc = vorandix::to_document(vorandix::run_extractors(source, size));
    (void)doc;
    return 0;
}
