// Where the EXIF data of each container lies. Our own bounded walkers find the blocks that
// exiv2 then decodes, in the order exiv2 itself decodes them when it reads the container, so
// that the fields come out as they always have; exiv2 never sees the container.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorandix/input.hpp"

namespace vorandix::extractors::exif {

// One EXIF block: a TIFF structure ("II*\0" or "MM\0*" and what follows), as a range of the
// input or as bytes made from it (a PNG text profile, a HEIF item in several extents).
struct Block {
    std::uint64_t offset = 0;  // in the input, unless `made`
    std::uint64_t length = 0;
    bool made = false;
    std::vector<std::uint8_t> bytes;  // the block, when `made`
};

// One step of a container's EXIF, replayed in order by the decoder.
struct Step {
    enum class Kind {
        Decode,     // decode `block` into the fields gathered so far
        DecodeIfNone,  // the same, only while no field has been gathered (PNG text profiles)
        Clear,      // an EXIF structure without a TIFF header: drop what was gathered
        Fail,       // the EXIF structure is cut or broken: stop with `message`
    };
    Kind kind;
    Block block;
    std::string message;
};

struct Steps {
    std::vector<Step> steps;
    // The input is not the container its type says (exiv2: "Unknown image format").
    bool not_container = false;
};

// The EXIF steps of the container named by `mime_type` (one of the types the extractor applies
// to). Only the EXIF structures are judged: a container that is cut or damaged elsewhere gives
// what was found before, and no error.
Steps locate(Input& in, std::string_view mime_type);

// What an ImageMagick raw profile (the text of a PNG text chunk) holds, read as exiv2 reads it.
struct Profile {
    enum class Kind { Nothing, Headerless, Tiff, Fail } kind = Kind::Nothing;
    std::vector<std::uint8_t> tiff;  // after its "Exif\0\0" header, for Tiff
    std::string message;             // for Fail
};
Profile raw_profile(const std::vector<std::uint8_t>& text);

// Exiv2's own texts for the faults of EXIF structures.
inline constexpr std::string_view kFailedToRead = "Failed to read image data";
inline constexpr std::string_view kCorrupted = "corrupted image metadata";
inline constexpr std::string_view kUndecodable = "Failed to decode Exif metadata.";

}  // namespace vorandix::extractors::exif
