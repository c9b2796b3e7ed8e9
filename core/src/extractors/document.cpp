#include "extractors/extractors.hpp"

namespace vorandix {

const Extractor& pdf_extractor() {
    static const PendingExtractor reader("pdf");
    return reader;
}

}  // namespace vorandix
