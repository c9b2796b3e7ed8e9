#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& jpeg_extractor() {
    static const PendingExtractor reader("jpeg");
    return reader;
}

}  // namespace vorandix
