// The registry: every extractor, in running order, which is also the order of error records.
// Adding an extractor is one line in this list and one source, extractors/<name>.cpp, that
// defines extractors::<name>::applies and extractors::<name>::extract; the build, the engine and
// the accessors below all take the list from here.
#pragma once

#include "vorandix/extractor.hpp"

#define VORANDIX_EXTRACTORS(X) \
    X(file) X(jpeg) X(png) X(gif) X(bmp) X(riff) X(exif) X(id3) X(mp4) X(elf) X(pdf) X(gzip) X(zip)

namespace vorandix {

class Input;

namespace extractors {
// `applies` decides from the context alone. `extract` reads the input and fills `section`,
// which is named after the extractor; the run loop settles its result against the input's
// failure (Input::settle).
#define VORANDIX_DECLARE(name)                              \
    namespace name {                                        \
    bool applies(const ExtractContext& ctx);                \
    ExtractResult extract(Input& in, Section section);      \
    }
VORANDIX_EXTRACTORS(VORANDIX_DECLARE)
#undef VORANDIX_DECLARE
}  // namespace extractors

// The registered extractor of each name: file_extractor(), jpeg_extractor(), ...
#define VORANDIX_DECLARE(name) const Extractor& name##_extractor();
VORANDIX_EXTRACTORS(VORANDIX_DECLARE)
#undef VORANDIX_DECLARE

}  // namespace vorandix
