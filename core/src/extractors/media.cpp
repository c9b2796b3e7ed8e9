#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& mp4_extractor() {
    static const PendingExtractor reader("mp4");
    return reader;
}

const Extractor& elf_extractor() {
    static const PendingExtractor reader("elf");
    return reader;
}

}  // namespace vorandix
