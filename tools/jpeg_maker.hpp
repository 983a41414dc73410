// Camera-style JPEG pictures made on the spot, for tests and the demo card.
//
// A picture is a smooth colourful pattern with a little grain, different for
// every seed, so it compresses like a photograph rather than like a flat test
// card. The camera-style file is laid out the way cameras write theirs:
//
//   FF D8                      start of image
//   FF E1 len "Exif\0\0" TIFF  EXIF block first (no JFIF APP0):
//       IFD0     Make, Model, XResolution, YResolution, ResolutionUnit,
//                DateTime, ExifIFD pointer; next -> IFD1
//       Exif IFD ExifVersion, DateTimeOriginal, PixelXDimension, PixelYDimension
//       IFD1     Compression = 6, JPEGInterchangeFormat/Length -> thumbnail
//       thumbnail, a complete JPEG of its own (FF D8 ... FF D9)
//   DQT, SOF0, DHT, SOS, scan   the main picture's segments
//   FF D9                      end of image
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lk::tools {

struct JpegOptions {
    int width = 640;
    int height = 480;
    int quality = 85;  // 1..100
    std::uint32_t seed = 1;
    bool exif = true;         // false: a plain JFIF file (FF D8 FF E0 ...) without EXIF
    bool big_endian = false;  // EXIF byte order: false "II", true "MM"
    std::string make = "Canon";
    std::string model = "Canon PowerShot S50";
    std::string date_time = "2021:06:15 12:34:56";  // DateTime and DateTimeOriginal
    int thumb_width = 160;
    int thumb_height = 120;
};

// The pattern's RGB pixels, row by row (3 bytes a pixel).
std::vector<std::uint8_t> render_picture(int width, int height, std::uint32_t seed);

// A JFIF file of the picture as libjpeg writes it. Empty when the size or the
// quality is out of range (width or height 0 or above 65500, quality not 1..100).
std::vector<std::uint8_t> encode_jfif(int width, int height, int quality, std::uint32_t seed);

// Where the pieces of a camera-style file are, for tests that aim at them
// (offsets from the start of the file; 0 = absent, as in a JFIF-only file).
struct JpegLayout {
    std::size_t app1_offset = 0;       // the FF of FF E1
    std::size_t tiff_offset = 0;       // the byte-order mark, 12 bytes in
    std::size_t thumbnail_offset = 0;  // the thumbnail's FF D8
    std::size_t thumbnail_size = 0;
    std::size_t main_offset = 0;  // the main picture's first segment after the EXIF block
};

// The complete file described above; fills layout when given. Empty for
// out-of-range options, or when the EXIF block with its thumbnail cannot fit
// one segment even at low thumbnail quality.
std::vector<std::uint8_t> make_jpeg(const JpegOptions& options, JpegLayout* layout = nullptr);

}  // namespace lk::tools
