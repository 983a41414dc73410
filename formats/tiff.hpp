// TIFF tag walk, raw extension by maker and model, CRW and X3F extents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/bytes.hpp"
#include "formats/identify.hpp"

namespace lk {

// One requested tag of a walk. The walk zero-fills dest and sets delivered
// to 0 first; ASCII values do not count delivered bytes (test the text).
struct TagRequest {
    std::uint32_t tag = 0;
    std::uint8_t* dest = nullptr;
    std::size_t capacity = 0;
    std::size_t delivered = 0;
};

// Tags whose values are the offsets of further directories.
inline constexpr std::uint16_t kSubIfds = 0x014A;
inline constexpr std::uint16_t kExifIfd = 0x8769;
inline constexpr std::uint16_t kGpsIfd = 0x8825;
inline constexpr std::uint16_t kInteropIfd = 0xA005;

// Bytes of one value of a TIFF field type (SHORT 2, LONG 4, RATIONAL 8...).
std::uint32_t tiff_value_size(std::uint16_t type);

// Walks the TIFF structure that starts at data[0]. mode 0: first directory
// only; mode 1: also the directory chain and the EXIF, GPS and
// interoperability sub-directories. Stops once still_wanted distinct tags
// were met. True when the walk ended without a structural failure.
bool read_tiff_tags(Bytes data, std::span<TagRequest> requests, int still_wanted, int mode);

struct RawProbe {
    bool is_raw = false;  // a camera raw file, even when no extension results
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The raw extension of a TIFF-based file by its maker and model ("NEF",
// "CR2"...), or an empty tag when the file keeps "TIF".
TypeTag raw_ext_from_tiff(Bytes data, RawProbe* probe = nullptr);

// Extents with the content_extent convention (size, 0 not found, -1 invalid).
std::int32_t crw_extent(Bytes data);
// The largest end of a TIFF-based file's directories, values and image data.
std::int32_t tiff_extent(Bytes data);
std::int32_t x3f_extent(Bytes data);

}  // namespace lk
