// JPEG extent and the EXIF services over arbitrary bytes, also behind a valid
// SOI + EXIF APP1 prefix so that the TIFF walk inside is reached, and with the
// buffer cut at several lengths.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_scan.hpp"
#include "formats/jpeg.hpp"

namespace {

void check(const std::vector<std::uint8_t>& buffer) {
    const lk::Bytes d(buffer);
    const std::int32_t extent = lk::jpeg_extent(d);
    if (extent < -1 || (extent > 0 && std::size_t(extent) > d.size())) __builtin_trap();
    // The walk fed in pieces of a size taken from the data agrees.
    const std::size_t piece = d.empty() ? 1 : 1 + d[0] % 67;
    lk::JpegExtentWalk walk;
    for (std::size_t at = 0; at < d.size(); at += piece) walk.feed(d.subspan(at, std::min(piece, d.size() - at)));
    if (walk.result() != extent) __builtin_trap();
    // Told the stops of each piece beforehand, as the sequential read tells
    // it (all of them, or too few listed to be complete), it agrees too.
    const std::size_t listed = d.size() < 2 ? 0 : d[1] % 10;
    lk::JpegExtentWalk hinted;
    std::vector<std::uint32_t> leads, stops(listed);
    for (std::size_t at = 0; at < d.size(); at += piece) {
        const lk::Bytes chunk = d.subspan(at, std::min(piece, d.size() - at));
        const std::size_t n = lk::find_pairs(chunk.data(), chunk.size(), {'%', 'P', '!'}, leads,
                                             lk::kJpegMarkerStop, stops.data(), listed);
        hinted.feed(chunk, {stops.data(), std::min(n, listed), n <= listed});
    }
    if (hinted.result() != extent) __builtin_trap();
    // A file ends right after an FF D9 pair.
    if (extent > 0 && (extent < 2 || d[extent - 2] != 0xFF || d[extent - 1] != 0xD9))
        __builtin_trap();

    const int seen = lk::find_exif(d, [&](lk::Bytes tiff) {
        if (tiff.data() < d.data() || tiff.data() + tiff.size() != d.data() + d.size())
            __builtin_trap();
        return 1;
    });
    if (seen != 0 && seen != 1) __builtin_trap();

    std::string date;
    const bool found = lk::read_exif_date(d, date);
    if (found == date.empty() || date.size() > 1023 || date.find('\0') != std::string::npos)
        __builtin_trap();
    (void)lk::exif_is_sane(d);

    // Unlinking changes nothing, or zeroes bytes within one 4-byte field.
    std::vector<std::uint8_t> copy = buffer;
    const bool unlinked = lk::unlink_exif_thumbnail(copy);
    if (copy.empty() || std::memcmp(copy.data(), buffer.data(), copy.size()) == 0) return;
    if (!unlinked) __builtin_trap();
    const std::uint8_t* a = copy.data();
    const std::uint8_t* b = buffer.data();
    std::size_t first = 0, last = copy.size() - 1;
    while (a[first] == b[first]) ++first;
    while (a[last] == b[last]) --last;
    if (last - first >= 4 || a[first] || a[last]) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> plain(data, data + size);
    // SOI, APP1 of the input's length, "Exif\0\0", then the input as TIFF data.
    const std::size_t app1 = std::min<std::size_t>(size + 8, 0xFFFF);
    std::vector<std::uint8_t> exif = {
        0xFF, 0xD8, 0xFF, 0xE1, std::uint8_t(app1 >> 8), std::uint8_t(app1), 'E', 'x',
        'i',  'f',  0,    0};
    exif.insert(exif.end(), data, data + size);
    for (const auto* whole : {&plain, &exif}) {
        for (std::size_t n :
             {whole->size(), whole->size() - std::min<std::size_t>(1, whole->size()),
              whole->size() / 2, std::size_t(20)}) {
            if (n > whole->size()) continue;
            check(std::vector<std::uint8_t>(whole->begin(), whole->begin() + std::ptrdiff_t(n)));
        }
    }
    return 0;
}
