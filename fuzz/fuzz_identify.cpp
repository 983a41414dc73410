// Header identification at every sector offset, the header tests, the class
// tests and the extent dispatcher over arbitrary bytes, with the buffer cut at
// several lengths (short buffers must fail tests, never read past them).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "formats/identify.hpp"

namespace {

bool is_builtin_tag(lk::TypeTag tag) {
    static constexpr std::string_view kTags[] = {"",    "RAW", "RTF", "PNG", "MP3", "BMP", "JPG",
                                                 "GIF", "AVI", "WAV", "DSS", "MOV", "ASF", "MPG",
                                                 "TIF", "CRW", "MRW", "RAF", "X3F", "RDC", "PDF",
                                                 "PSD", "MTS", "ZIP", "OGG", "FLA", "TXT"};
    return tag == lk::kCompoundMarker ||
           std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags);
}

void classes(lk::TypeTag tag) {
    const bool any = lk::is_document_ext(tag) || lk::is_raw_ext(tag) || lk::is_jpeg_ext(tag) ||
                     lk::is_picture_ext(tag) || lk::is_iconic_ext(tag) || lk::is_movie_ext(tag) ||
                     lk::is_sound_ext(tag) || lk::is_content_sized_ext(tag);
    if (any && tag.empty()) __builtin_trap();
    if (lk::max_file_size(tag, lk::kDefaultMovieLimit) == 0) __builtin_trap();
    if (lk::uniform_stop_size(tag, lk::kDefaultMovieLimit) == 0) __builtin_trap();
    (void)lk::extension_field(tag);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes all(data, size);
    const std::size_t cuts[] = {size, 1024, 513, 512, 219, 218, 49, 24, 16, 11, 8, 4, 1, 0};
    for (std::size_t n : cuts) {
        if (n > size) continue;
        const lk::Bytes d = all.first(n);
        const lk::TypeTag tag = lk::identify_header(d);
        if (!is_builtin_tag(tag)) __builtin_trap();
        classes(tag);
        (void)lk::is_jpeg_header(d);
        (void)lk::is_mpeg_header(d);
        (void)lk::is_crw_header(d);
        (void)lk::is_x3f_header(d);
        (void)lk::is_tiff_header(d, n);
        if (tag == "PDF" && !lk::is_pdf_header(d)) __builtin_trap();
        const std::int32_t extent = lk::content_extent(d);
        if (extent < -1 || (extent > 0 && std::size_t(extent) > n)) __builtin_trap();
        if (n == 0 && extent != 0) __builtin_trap();
    }
    // As the carver does: every 512-byte offset of a cluster.
    for (std::size_t off = 512; off < size; off += 512)
        if (!is_builtin_tag(lk::identify_header(all.subspan(off)))) __builtin_trap();
    // The input's first bytes as a tag (signature names can be anything).
    for (std::size_t n = 0; n <= std::min<std::size_t>(size, 5); ++n)
        classes(std::string_view(reinterpret_cast<const char*>(data), n));
    return 0;
}
