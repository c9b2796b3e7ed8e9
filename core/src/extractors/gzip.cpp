#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& gzip_extractor() {
    static const PendingExtractor reader("gzip");
    return reader;
}

}  // namespace vorandix
