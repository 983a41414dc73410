// End rules of the picture formats: PNG chunks, BMP pixel arrays, GIF blocks,
// Photoshop sections, and the top-level boxes of HEIF, AVIF and CR3 files.
// Each follows the content_extent convention (size, 0 not within the data,
// -1 not a file of that kind).
#pragma once

#include <cstdint>

#include "base/bytes.hpp"
#include "formats/identify.hpp"

namespace lk {

std::int32_t png_extent(Bytes data);
std::int32_t bmp_extent(Bytes data);

// "GIF87a" or "GIF89a" with a non-empty screen, and, without a global colour
// table, a block introducer at byte 13.
bool is_wide_gif_header(Bytes data);
std::int32_t gif_extent(Bytes data);

std::int32_t psd_extent(Bytes data);

// The tag a still-image major brand names: "heic", "heix", "mif1" -> "HEI",
// "avif" -> "AVF", "crx " -> "CR3" (compared after lower-casing); empty for
// any other brand.
TypeTag isobmff_image_brand(const std::uint8_t (&brand)[4]);
std::int32_t isobmff_image_extent(Bytes data);

}  // namespace lk
