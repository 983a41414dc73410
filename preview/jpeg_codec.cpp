#include "preview/jpeg_codec.hpp"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <memory>
#include <new>

namespace lk {

namespace {

// The largest pixel buffer a decode allocates: a damaged header may claim
// 65,500 x 65,500 pixels.
constexpr std::uint64_t kMaxPixelBytes = 1ull << 30;

// The error manager of one decode or encode. libjpeg reports fatal errors
// through error_exit, and jumping back out is its documented way to survive
// one; the functions that set the jump hold no objects with destructors.
struct Codec {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool decoding = false;  // past the header: extra bytes now mean damage
    bool damaged = false;
    double clean_share = 1.0;
};

// The share of the picture that was read before the decoder's current
// position: the row of MCUs being decoded over all of them.
double input_share(j_decompress_ptr d) {
    if (d->total_iMCU_rows == 0) return 0;
    return std::min(1.0, double(d->input_iMCU_row) / double(d->total_iMCU_rows));
}

bool is_corrupt_data(int code, bool decoding) {
    switch (code) {
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_ARITH_BAD_CODE:
        case JWRN_JPEG_EOF:
        case JWRN_MUST_RESYNC:
        case JWRN_NOT_SEQUENTIAL:
        case JWRN_BOGUS_PROGRESSION:
            return true;
        case JWRN_EXTRANEOUS_DATA:
            // Stray bytes between the header's segments harm no pixel.
            return decoding;
        default:
            return false;  // metadata oddities (JFIF revision, ICC, Adobe transform)
    }
}

void note_damage(Codec& c, j_common_ptr cinfo) {
    if (c.damaged || !cinfo->is_decompressor) return;
    c.damaged = true;
    c.clean_share = input_share(reinterpret_cast<j_decompress_ptr>(cinfo));
}

[[noreturn]] void on_error(j_common_ptr cinfo) {
    Codec& c = *reinterpret_cast<Codec*>(cinfo->err);
    if (c.decoding) note_damage(c, cinfo);
    std::longjmp(c.jump, 1);
}

// Warnings are where corrupt data shows; nothing is printed.
void on_message(j_common_ptr cinfo, int level) {
    Codec& c = *reinterpret_cast<Codec*>(cinfo->err);
    if (level < 0 && is_corrupt_data(cinfo->err->msg_code, c.decoding)) note_damage(c, cinfo);
}
void no_output(j_common_ptr) {}

void init_codec(Codec& c) {
    jpeg_std_error(&c.pub);
    c.pub.error_exit = on_error;
    c.pub.emit_message = on_message;
    c.pub.output_message = no_output;
}

// Reads the header and chooses the output. False when there is no usable header.
bool read_header(jpeg_decompress_struct& d, Codec& c, Bytes data, int box_width, int box_height,
                 JpegOutput output) {
    if (setjmp(c.jump)) return false;
    jpeg_mem_src(&d, data.data(), static_cast<unsigned long>(data.size()));
    if (output == JpegOutput::Reencode) {
        jpeg_save_markers(&d, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&d, JPEG_APP0 + 2, 0xFFFF);
    }
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) return false;
    if (d.image_width == 0 || d.image_height == 0) return false;
    if (box_width > 0 && box_height > 0 && d.image_width / 8 >= JDIMENSION(box_width) &&
        d.image_height / 8 >= JDIMENSION(box_height)) {
        d.scale_num = 1;
        d.scale_denom = 8;
    }
    const bool four = d.jpeg_color_space == JCS_CMYK || d.jpeg_color_space == JCS_YCCK;
    if (four) d.out_color_space = JCS_CMYK;  // libjpeg makes no RGB of these
    else if (output == JpegOutput::Thumbnail) d.out_color_space = JCS_EXT_BGR;
    else d.out_color_space = d.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
    if (output == JpegOutput::Thumbnail) {
        // A thumbnail does not show the difference; the speed does.
        d.dct_method = JDCT_IFAST;
        d.do_fancy_upsampling = FALSE;
    }
    jpeg_calc_output_dimensions(&d);
    return d.output_width > 0 && d.output_height > 0;
}

// Decodes into pixels (zero-filled by the caller), as far as the data allows.
void read_pixels(jpeg_decompress_struct& d, Codec& c, std::uint8_t* pixels, std::size_t stride) {
    c.decoding = true;
    if (setjmp(c.jump)) return;  // a fatal error part-way: what was decoded stays
    jpeg_start_decompress(&d);
    // Past the first corrupt data libjpeg would go on with empty blocks
    // (grey); the decode stops there instead, and the rest stays black.
    while (d.output_scanline < d.output_height && !c.damaged) {
        JSAMPROW row = pixels + std::size_t(d.output_scanline) * stride;
        if (jpeg_read_scanlines(&d, &row, 1) != 1) break;
    }
    // Reads on to the end marker, where bytes left over show damage too.
    if (c.damaged) jpeg_abort_decompress(&d);
    else jpeg_finish_decompress(&d);
}

// Adobe CMYK as libjpeg delivers it (inverted: 255 is no ink) to BGR.
std::vector<std::uint8_t> cmyk_to_bgr(const std::vector<std::uint8_t>& cmyk, std::size_t count) {
    std::vector<std::uint8_t> bgr(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned c = cmyk[4 * i], m = cmyk[4 * i + 1], y = cmyk[4 * i + 2],
                       k = cmyk[4 * i + 3];
        bgr[3 * i] = std::uint8_t(y * k / 255);
        bgr[3 * i + 1] = std::uint8_t(m * k / 255);
        bgr[3 * i + 2] = std::uint8_t(c * k / 255);
    }
    return bgr;
}

struct MallocFree {
    void operator()(unsigned char* p) const { std::free(p); }
};

bool write_jpeg(jpeg_compress_struct& e, Codec& c, const JpegPicture& p, int quality,
                unsigned char** out, unsigned long* size) {
    if (setjmp(c.jump)) return false;
    jpeg_mem_dest(&e, out, size);
    e.image_width = JDIMENSION(p.width);
    e.image_height = JDIMENSION(p.height);
    e.input_components = p.channels;
    e.in_color_space = p.channels == 1 ? JCS_GRAYSCALE : p.channels == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&e);
    if (p.channels == 4 && p.ycck) jpeg_set_colorspace(&e, JCS_YCCK);
    jpeg_set_quality(&e, quality, TRUE);
    jpeg_start_compress(&e, TRUE);
    for (const auto& [marker, payload] : p.markers)
        jpeg_write_marker(&e, marker, payload.data(), static_cast<unsigned>(payload.size()));
    const std::size_t stride = std::size_t(p.width) * std::size_t(p.channels);
    while (e.next_scanline < e.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(p.pixels.data() + e.next_scanline * stride);
        jpeg_write_scanlines(&e, &row, 1);
    }
    jpeg_finish_compress(&e);
    return true;
}

}  // namespace

BgrImage JpegPicture::image() && {
    BgrImage b;
    if (channels != 3) return b;
    b.width = width;
    b.height = height;
    b.pixels = std::move(pixels);
    return b;
}

bool DecodeJpeg(Bytes data, int box_width, int box_height, JpegOutput output, JpegPicture& out) {
    out = JpegPicture{};
    Codec c;
    init_codec(c);
    jpeg_decompress_struct d;
    d.err = &c.pub;
    jpeg_create_decompress(&d);
    std::unique_ptr<jpeg_decompress_struct, void (*)(jpeg_decompress_struct*)> guard(
        &d, [](jpeg_decompress_struct* p) { jpeg_destroy_decompress(p); });
    if (!read_header(d, c, data, box_width, box_height, output)) return false;
    // The segments before the frame; an aborted decode frees them.
    for (jpeg_saved_marker_ptr m = d.marker_list; m; m = m->next)
        out.markers.emplace_back(m->marker,
                                 std::vector<std::uint8_t>(m->data, m->data + m->data_length));

    const std::size_t channels = std::size_t(d.out_color_components);
    const std::uint64_t bytes = std::uint64_t(d.output_width) * d.output_height * channels;
    if (bytes > kMaxPixelBytes) return false;
    try {
        out.pixels.assign(static_cast<std::size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.width = int(d.output_width);
    out.height = int(d.output_height);
    out.channels = int(channels);
    out.full_width = int(d.image_width);
    out.full_height = int(d.image_height);
    out.file_channels = d.num_components;
    out.ycck = d.jpeg_color_space == JCS_YCCK;
    out.scale = int(d.scale_denom / d.scale_num);
    out.mcu_blocks = d.num_components > 1 ? d.max_v_samp_factor : 1;

    read_pixels(d, c, out.pixels.data(), std::size_t(d.output_width) * channels);
    out.damaged = c.damaged;
    out.clean_share = c.damaged ? c.clean_share : 1.0;
    if (out.clean_share < 1.0) {
        // The rows from the damaged row of MCUs on, partly decoded, go black too.
        const std::size_t from = static_cast<std::size_t>(out.clean_share * out.height);
        std::fill(out.pixels.begin() + static_cast<std::ptrdiff_t>(from * std::size_t(out.width) * channels),
                  out.pixels.end(), 0);
    }

    if (output == JpegOutput::Thumbnail && out.channels == 4) {
        out.pixels = cmyk_to_bgr(out.pixels, std::size_t(out.width) * std::size_t(out.height));
        out.channels = 3;
    }
    return true;
}

std::vector<std::uint8_t> EncodeJpeg(const JpegPicture& picture, int quality, std::string& error) {
    error.clear();
    Codec c;
    init_codec(c);
    jpeg_compress_struct e;
    e.err = &c.pub;
    jpeg_create_compress(&e);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const bool ok = picture.width > 0 && picture.height > 0 &&
                    std::size_t(picture.width) * std::size_t(picture.height) *
                            std::size_t(picture.channels) <=
                        picture.pixels.size() &&
                    write_jpeg(e, c, picture, quality, &buffer, &size);
    std::unique_ptr<unsigned char, MallocFree> owner(buffer);
    if (!ok) {
        char text[JMSG_LENGTH_MAX] = {};
        if (c.pub.msg_code != 0) (*c.pub.format_message)(reinterpret_cast<j_common_ptr>(&e), text);
        error = text;
    }
    jpeg_destroy_compress(&e);
    if (!ok || !buffer) return {};
    return {buffer, buffer + size};
}

}  // namespace lk
