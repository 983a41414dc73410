// The seam measure. Decoding at 1/8 scale gives one value per block and
// component (the block's average), row of blocks by row of blocks; the
// decoder reads the entropy-coded data in order, so the rows decoded before
// the join's byte offset is consumed come from the first piece and the rows
// decoded after it from the second. The join itself falls inside one row of
// MCUs (its blocks are part first piece, part second), so the comparison is
// between the last row of blocks before that MCU row and the first row after
// it: d(J) = the mean absolute difference of those two rows over every
// column and component. A true join continues the picture, and d(J) is like
// d(j) for the other MCU rows j; a wrong one (another picture's data, or
// this picture's data at the wrong place) carries a different picture, or
// the same one shifted in brightness and colour by the wrong DC prediction,
// and d(J) stands out. The seam is d(J) over the median of d(j), j != J.
#include "formats/jpeg_decode.hpp"

#include <jpeglib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace lk {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int warnings = 0;
};

[[noreturn]] void on_error(j_common_ptr c) {
    std::longjmp(reinterpret_cast<ErrorManager*>(c->err)->jump, 1);
}

void on_message(j_common_ptr c, int level) {
    if (level < 0) ++reinterpret_cast<ErrorManager*>(c->err)->warnings;
}

// Decodes into rows (output rows of stride bytes each) and notes, for each
// MCU row, the bytes consumed once it was decoded; without keep_rows, only
// the last row. Returns false on an error.
bool decode(Bytes data, jpeg_decompress_struct& d, ErrorManager& err, bool keep_rows,
            std::vector<std::uint8_t>& rows, std::vector<std::size_t>& consumed,
            std::size_t& stride, std::size_t& mcu_rows) {
    if (setjmp(err.jump)) return false;
    jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) return false;
    d.scale_num = 1;
    d.scale_denom = 8;
    d.do_fancy_upsampling = FALSE;
    d.dct_method = JDCT_IFAST;
    if (d.jpeg_color_space == JCS_YCbCr) d.out_color_space = JCS_YCbCr;  // no colour conversion
    jpeg_start_decompress(&d);
    stride = std::size_t(d.output_width) * std::size_t(d.output_components);
    if (!keep_rows) {
        // Passed-over rows are entropy-decoded all the same (the decoder
        // warns of corrupt data there too); only their output is not made.
        if (d.output_height > 1) jpeg_skip_scanlines(&d, d.output_height - 1);
        rows.assign(stride, 0);
        JSAMPROW row = rows.data();
        if (d.output_scanline < d.output_height && jpeg_read_scanlines(&d, &row, 1) != 1) return false;
        jpeg_finish_decompress(&d);
        mcu_rows = 0;
        return true;
    }
    rows.assign(stride * d.output_height, 0);
    const std::size_t per_mcu_row = std::max(1, d.rec_outbuf_height);
    mcu_rows = (d.output_height + per_mcu_row - 1) / per_mcu_row;
    consumed.assign(mcu_rows, data.size());
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = rows.data() + stride * d.output_scanline;
        const JDIMENSION before = d.output_scanline;
        if (jpeg_read_scanlines(&d, &row, 1) != 1) return false;
        // The rows of an MCU row are decoded when its first is asked for.
        if (before % per_mcu_row == 0)
            consumed[before / per_mcu_row] = data.size() - d.src->bytes_in_buffer;
    }
    jpeg_finish_decompress(&d);
    return true;
}

}  // namespace

JpegDecodeCheck check_jpeg_decode(Bytes data, std::size_t join, bool seam) {
    JpegDecodeCheck result;
    jpeg_decompress_struct d{};
    ErrorManager err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    err.pub.emit_message = on_message;
    jpeg_create_decompress(&d);
    std::vector<std::uint8_t> rows;
    std::vector<std::size_t> consumed;
    std::size_t stride = 0, mcu_rows = 0;
    const bool decoded = decode(data, d, err, seam, rows, consumed, stride, mcu_rows);
    const std::size_t per_mcu_row = std::max(1, d.rec_outbuf_height);
    jpeg_destroy_decompress(&d);
    result.clean = decoded && err.warnings == 0;
    if (!decoded || join == 0 || mcu_rows < 4) return result;

    // The MCU row in which the decoder reached the join.
    std::size_t joined = 0;
    while (joined < mcu_rows && consumed[joined] <= join) ++joined;
    if (joined == 0 || joined + 1 >= mcu_rows) return result;
    const std::size_t width = stride / std::size_t(std::max(1, d.output_components));
    const std::size_t components = stride / std::max<std::size_t>(width, 1);
    // The difference across the boundary above MCU row j, column by column.
    auto boundary = [&](std::size_t j, std::vector<double>& out) {
        out.assign(width, 0);
        const std::uint8_t* a = rows.data() + (j * per_mcu_row - 1) * stride;
        const std::uint8_t* b = rows.data() + j * per_mcu_row * stride;
        for (std::size_t x = 0; x < width; ++x)
            for (std::size_t k = 0; k < components; ++k)
                out[x] += std::abs(int(a[x * components + k]) - int(b[x * components + k]));
    };
    // What a boundary between MCU rows looks like where nothing was joined.
    std::vector<double> line, others;
    for (std::size_t j = 1; j < mcu_rows; ++j) {
        if (j == joined || j == joined + 1) continue;
        boundary(j, line);
        double sum = 0;
        for (double v : line) sum += v;
        others.push_back(sum / double(width));
    }
    std::nth_element(others.begin(), others.begin() + std::ptrdiff_t(others.size() / 2),
                     others.end());
    const double usual = std::max(others[others.size() / 2], 0.5);
    // Within the MCU row of the join, the blocks left of the join came
    // before it and those right of it after: the seam runs under the left
    // part and over the right part. Where the join lies within the row is
    // taken as the place where that seam differs most.
    std::vector<double> above, below;
    boundary(joined, above);
    boundary(joined + 1, below);
    double left = 0, right = 0;
    for (double v : above) right += v;
    double worst = right;
    for (std::size_t x = 0; x < width; ++x) {
        left += below[x];
        right -= above[x];
        worst = std::max(worst, left + right);
    }
    result.seam = worst / double(width) / usual;
    return result;
}

}  // namespace lk
