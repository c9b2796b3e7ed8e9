// The readers of the registry, one accessor per reader; each lives in its family's source.
#pragma once

#include "vorandix/extractor.hpp"

namespace vorandix {

const Extractor& file_extractor();
const Extractor& jpeg_extractor();
const Extractor& png_extractor();
const Extractor& gif_extractor();
const Extractor& bmp_extractor();
const Extractor& riff_extractor();
const Extractor& exif_extractor();
const Extractor& id3_extractor();
const Extractor& mp4_extractor();
const Extractor& elf_extractor();
const Extractor& pdf_extractor();
const Extractor& gzip_extractor();
const Extractor& zip_extractor();

}  // namespace vorandix

