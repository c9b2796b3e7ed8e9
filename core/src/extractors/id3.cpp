#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& id3_extractor() {
    static const PendingExtractor reader("id3");
    return reader;
}

}  // namespace vorandix
