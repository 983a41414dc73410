// Decoding a JPEG with libjpeg-turbo to tell whether pieces put together
// make the picture: it must decode to its last row without a warning about
// corrupt data, and the rows of blocks on either side of the join must
// continue each other.
#pragma once

#include <cstddef>

#include "base/bytes.hpp"

namespace lk {

struct JpegDecodeCheck {
    // The picture decoded to its last row, every byte of its scan used, and
    // the decoder warned of nothing (no corrupt data, no premature end, no
    // extraneous bytes before the end marker).
    bool clean = false;
    // At a join: how far the last row of blocks decoded before the join
    // lies from the first row decoded wholly after it, as a multiple of
    // what rows the same distance apart differ by elsewhere in the picture
    // (about 1 where the picture goes on; see jpeg_decode.cpp). Measured
    // once the picture decoded to its last row, warnings or not; 0 without
    // a join or when the picture has too few rows to compare.
    double seam = 0;
};

// Decodes data at one eighth of its size (one value per block of 8 x 8
// pixels, which is what the entropy-coded data holds most directly). join,
// when not 0, is the offset in data where a second piece begins. Without
// seam, only the last row is kept (the others are decoded and passed over,
// a tenth faster) and seam stays 0: clean is the same either way.
JpegDecodeCheck check_jpeg_decode(Bytes data, std::size_t join = 0, bool seam = true);

}  // namespace lk
