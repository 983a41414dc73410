// JPEG extent by marker walk, and the small EXIF services.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "base/byte_scan.hpp"
#include "base/bytes.hpp"

namespace lk {

// Size of the JPEG starting at data[0]; 0 when its end is not within the
// data; -1 when the data is not a valid JPEG.
std::int32_t jpeg_extent(Bytes data);

// Where the marker walk stops inside entropy-coded data: an FF followed by
// anything but a stuffed 00.
inline constexpr PairTest kJpegMarkerStop{0xFF, 0x00, 0x00, true};

// The stops of a chunk found beforehand (find_pairs with kJpegMarkerStop over
// the chunk or over bytes that begin with it), so that the walk need not
// search the chunk again: their offsets in ascending order. Not complete
// when the search listed only some of them.
struct JpegMarkerHints {
    const std::uint32_t* at = nullptr;
    std::size_t count = 0;
    bool complete = false;
};

// The marker walk of jpeg_extent over bytes that arrive in pieces (a card's
// clusters as they are read): fed the same bytes, cut anywhere, it gives the
// result jpeg_extent gives for them all.
class JpegExtentWalk {
public:
    // Feeds the next bytes; false once the result is settled, after which
    // further bytes change nothing.
    bool feed(Bytes chunk, JpegMarkerHints hints = {});
    bool settled() const { return settled_; }
    // jpeg_extent of the bytes fed so far.
    std::int32_t result() const { return settled_ ? result_ : 0; }
    // The bytes consumed: once settled, the bytes that decided the result
    // (jpeg_extent of any data that begins with them gives that result).
    std::uint64_t consumed() const { return pos_; }
    // Not settled, and inside entropy-coded data: after a start of scan or
    // a restart marker, looking for the next marker.
    bool in_scan() const {
        return !settled_ && (step_ == Step::Scan || step_ == Step::ScanFF) &&
               (previous_ == 0xDA || (previous_ >= 0xD0 && previous_ <= 0xD7));
    }

private:
    enum class Step : std::uint8_t { Marker, Code, LengthHigh, LengthLow, Payload, Scan, ScanFF };
    bool settle(std::int64_t result);

    Step step_ = Step::Marker;
    bool settled_ = false;
    std::int32_t result_ = 0;
    std::uint64_t pos_ = 0;
    std::uint8_t code_ = 0;
    int previous_ = -1;
    std::uint32_t length_ = 0;
    std::uint64_t skip_ = 0;
};

// Calls visitor(tiff) with the TIFF structure of the first APP1 segment when
// it is EXIF (tiff runs to the end of the data) and returns its result; 0 when
// the first APP1 is missing, too short or not EXIF.
int find_exif(Bytes data, const std::function<int(Bytes tiff)>& visitor);

// The picture's date text as stored (at most 1,023 characters); true when a
// non-empty date was found. Works on JPEGs (through EXIF) and on TIFF data.
bool read_exif_date(Bytes data, std::string& text);

// False only when an EXIF block's tag walk fails or its resolution or pixel
// size tags are implausible; a JPEG without EXIF is sane.
bool exif_is_sane(Bytes data);

// Cuts the first EXIF directory's link to the thumbnail directory in the
// caller's buffer; false (buffer untouched) when the layout does not allow it.
bool unlink_exif_thumbnail(std::span<std::uint8_t> data);

}  // namespace lk
