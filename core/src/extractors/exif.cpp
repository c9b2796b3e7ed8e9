#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& exif_extractor() {
    static const PendingExtractor reader("exif");
    return reader;
}

}  // namespace vorandix
