// HEIF (HEIC), AVIF and Canon CR3 still images: ISO base media files whose
// major brand names a picture. They are found as QuickTime ("ftyp" at bytes
// 4-7) and measured by their top-level boxes.
//
// Box:
//   offset | size | meaning (big-endian)
//   0      | 4    | size, header included; 1 = a 64-bit size follows the
//          |      | type; 0 = the box runs to the end of the file
//   4      | 4    | type
//   8      | 8    | 64-bit size (only when size is 1)
// A HEIF or AVIF picture is "ftyp", "meta" (item locations), "mdat"; a CR3
// is "ftyp", "moov" (with Canon's "uuid" boxes), "uuid" previews, "mdat".
#include <array>
#include <string_view>

#include "formats/extent.hpp"
#include "formats/pictures.hpp"

namespace lk {
namespace {

constexpr std::array<std::string_view, 8> kAcceptedBoxes = {"meta", "mdat", "moov", "free",
                                                            "skip", "uuid", "moof", "mfra"};

bool accepted(std::string_view type) {
    for (auto t : kAcceptedBoxes)
        if (t == type) return true;
    return false;
}

}  // namespace

TypeTag isobmff_image_brand(const std::uint8_t (&raw)[4]) {
    char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = char(raw[i] >= 'A' && raw[i] <= 'Z' ? raw[i] + ('a' - 'A') : raw[i]);
    const std::string_view brand(b, 4);
    if (brand == "heic" || brand == "heix" || brand == "mif1") return "HEI";
    if (brand == "avif") return "AVF";
    if (brand == "crx ") return "CR3";
    return {};
}

std::int32_t isobmff_image_extent(Bytes d) {
    if (!matches(d, 4, "ftyp") || !has(d, 8, 4)) return -1;
    const std::uint8_t brand[4] = {d[8], d[9], d[10], d[11]};
    const TypeTag tag = isobmff_image_brand(brand);
    if (tag.empty()) return -1;

    bool seen_mdat = false, seen_meta = false, seen_moov = false;
    std::uint64_t p = 0, end = 0;
    while (has(d, p, 8)) {
        std::uint64_t size = load_be32(d.data() + p);
        const std::string_view type(reinterpret_cast<const char*>(d.data() + p + 4), 4);
        std::uint64_t header = 8;
        if (size == 1) {
            if (!has(d, p + 8, 8)) return 0;
            size = load_be64(d.data() + p + 8);
            header = 16;
        }
        // A box "to the end of the file", or one smaller than its own header,
        // cannot be measured: the walk ends before it.
        if (size < header) break;
        if (!(p == 0 ? type == "ftyp" : accepted(type))) break;
        if (size > d.size() - p) return 0;
        p += size;
        end = p;
        seen_mdat = seen_mdat || type == "mdat";
        seen_meta = seen_meta || type == "meta";
        seen_moov = seen_moov || type == "moov";
    }
    const bool complete = seen_mdat && (tag == "CR3" ? seen_moov : seen_meta);
    return complete ? extent_at(end, d.size()) : -1;
}

}  // namespace lk
