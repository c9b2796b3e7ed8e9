#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& png_extractor() {
    static const PendingExtractor reader("png");
    return reader;
}

}  // namespace vorandix
