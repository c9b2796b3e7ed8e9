#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& riff_extractor() {
    static const PendingExtractor reader("riff");
    return reader;
}

}  // namespace vorandix
