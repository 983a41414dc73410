// The JPEG codec of the previews, on libjpeg: decoding from memory, at one
// eighth when the picture is far larger than the thumbnail box, carrying on
// through corrupt data (what cannot be decoded stays black) and noting where
// the data first went wrong; encoding pixels again for reconstruction.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "preview/bgr_image.hpp"

namespace lk {

enum class JpegOutput : std::uint8_t {
    Thumbnail,  // 3-channel blue-green-red, whatever the file holds
    Reencode,   // the file's own kind: grey, RGB or (Adobe) CMYK
};

// What a decode yields.
struct JpegPicture {
    // The pixels as decoded: width x height, `channels` bytes a pixel, rows
    // packed, zero (black) where nothing could be decoded.
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<std::uint8_t> pixels;
    // From the header.
    int full_width = 0;
    int full_height = 0;
    int file_channels = 0;
    bool ycck = false;  // a 4-channel file stored as YCCK rather than CMYK
    // Pixels of the full picture per pixel here (1 or 8), and the height of
    // a row of MCUs in 8 x 8 blocks (1 or 2): where damage can begin.
    int scale = 1;
    int mcu_blocks = 1;
    // Where the decoder first met corrupt data: the share of the picture's
    // rows (0..1) decoded before it, 1 when it met none before the last
    // row. `damaged` says whether it met any at all (also after the last
    // row, as extra bytes before the end marker).
    bool damaged = false;
    double clean_share = 1.0;
    // Application segments kept for re-encoding (marker code, payload):
    // EXIF and XMP (APP1) and ICC profiles (APP2).
    std::vector<std::pair<int, std::vector<std::uint8_t>>> markers;

    // The pixels as a blue-green-red bitmap (Thumbnail output only).
    BgrImage image() &&;
};

// Decodes data. With a box (both sides above 0) a picture whose sides
// divided by 8 are at least the box's is decoded at one eighth of its size.
// False when decoding cannot start: no JPEG header, a width or height of 0,
// or no memory for the pixels.
bool DecodeJpeg(Bytes data, int box_width, int box_height, JpegOutput output, JpegPicture& out);

// Encodes a Reencode decode again at the given quality, with the same size,
// channels and colour space and the kept segments. Empty, with the
// library's message in error, when encoding fails.
std::vector<std::uint8_t> EncodeJpeg(const JpegPicture& picture, int quality, std::string& error);

}  // namespace lk
