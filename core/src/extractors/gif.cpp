#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& gif_extractor() {
    static const PendingExtractor reader("gif");
    return reader;
}

}  // namespace vorandix
