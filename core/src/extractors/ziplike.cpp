#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& zip_extractor() {
    static const PendingExtractor reader("zip");
    return reader;
}

}  // namespace vorandix
