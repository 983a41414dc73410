// The raw decoder adapter: camera raw files decoded at half size by LibRaw
// from a recovered file held in memory, the result caught as a PPM image in
// memory. Nothing touches the disk, and the decoder's messages are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.hpp"

namespace lk {

// A byte range read like a file (DCRAWBuffer): reads stop at its end; a
// write is only taken by a memory file that has no bytes yet, which then
// owns a copy of them.
class DCRAWBuffer {
  public:
    DCRAWBuffer() = default;
    // Over the caller's bytes, which it does not own.
    explicit DCRAWBuffer(Bytes bytes) : data_(bytes.data()), length_(bytes.size()) {}

    bool at_end() const { return current_ >= length_; }
    std::int64_t tell() const { return static_cast<std::int64_t>(current_); }
    std::int64_t length() const { return static_cast<std::int64_t>(length_); }
    // whence: SEEK_SET, SEEK_CUR or SEEK_END. A position outside 0..length
    // fails and leaves the position as it was.
    bool seek(std::int64_t offset, int whence);
    // Copies min(count, bytes left) and moves on; returns the bytes copied.
    std::size_t read(void* buffer, std::size_t count);
    std::size_t write(const void* buffer, std::size_t count);
    void close();
    Bytes bytes() const { return {data_, length_}; }

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t current_ = 0;
    std::vector<std::uint8_t> owned_;
};

// Numbers the diagnostic dumps of one run: with DCRAW_PPM set when a sink
// is made, the sink also writes what it receives to DCRAW_PPM + 8 digits +
// ".ppm". One counter per front end.
struct PpmDumps {
    std::atomic<int> next{0};
};

// Receives the decoder's 8-bit PPM output (DCRAWPPM) and keeps it as
// blue-green-red pixels, rows cut to a width rounded down to a multiple of
// 8 (so that every row is a multiple of 4 bytes), grey as three equal bytes.
class DCRAWPPM {
  public:
    explicit DCRAWPPM(PpmDumps* dumps = nullptr);
    ~DCRAWPPM();
    DCRAWPPM(const DCRAWPPM&) = delete;
    DCRAWPPM& operator=(const DCRAWPPM&) = delete;

    // The first write is the header "P5" or "P6", width, height and 255;
    // the others carry a whole image, a row, a pixel or a byte. Returns the
    // bytes taken: 0 when the write breaks those rules, after which the
    // sink has failed.
    std::size_t write(const void* buffer, std::size_t count);
    // Checks that every pixel arrived.
    void close();

    bool failed() const { return failed_; }
    int width() const { return aligned_width_; }  // 0 before the header
    int height() const { return height_; }
    // aligned width x height x 3 bytes.
    const std::vector<std::uint8_t>& pixels() const { return pixels_; }
    std::vector<std::uint8_t> take_pixels() { return std::move(pixels_); }

  private:
    bool failed_ = false;
    bool header_expected_ = true;
    int colours_ = 0;
    int width_ = 0;
    int aligned_width_ = 0;
    int height_ = 0;
    int component_ = 0;
    int column_ = 0;
    int row_ = 0;
    std::size_t stored_ = 0;  // pixels stored
    std::vector<std::uint8_t> pixels_;
    std::FILE* dump_ = nullptr;
};

// One decode (DCRAWImage): the input and, after a successful decode, the
// image's width (rounded down to a multiple of 8) and height, -1 before.
struct DCRAWImage {
    explicit DCRAWImage(DCRAWBuffer& in) : input(in) {}
    DCRAWBuffer& input;
    int width = -1;
    int height = -1;
    // The size of the camera's picture as the decoder reads it (0 unknown).
    int full_width = 0;
    int full_height = 0;
    // The decoder asked for bytes past the end of the input (read as zeros),
    // and the share of the bytes it asked for while reading the image data
    // that the input held (1 when it held them all).
    bool read_past_end = false;
    double data_share = 1.0;
    // The camera's JPEG preview stored in the file, when asked for and found.
    std::vector<std::uint8_t> preview;
};

// Decodes the job's input into the sink, at half size when a box is given
// (both sides not -1). With want_preview, also copies the file's JPEG
// preview into job.preview. False when the decoder cannot identify or
// decode the file, or the sink refused its output.
bool Decode(DCRAWImage& job, DCRAWPPM& sink, int box_width, int box_height,
            bool want_preview = false);

}  // namespace lk
