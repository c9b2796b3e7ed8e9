#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& bmp_extractor() {
    static const PendingExtractor reader("bmp");
    return reader;
}

}  // namespace vorandix
