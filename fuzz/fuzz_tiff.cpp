// The TIFF tag walk in every mode with small and large capacities, and the raw
// extension rules, over arbitrary bytes and behind both TIFF headers.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/jpeg.hpp"
#include "formats/tiff.hpp"

namespace {

bool is_known_ext(lk::TypeTag ext) {
    static constexpr std::string_view kExts[] = {"",    "DCR", "KDC", "NEF", "CR2", "ARW", "SRF",
                                                 "PEF", "3FR", "ORF", "FFF", "RW2", "RAW"};
    return std::find(std::begin(kExts), std::end(kExts), ext) != std::end(kExts);
}

void walk_all(lk::Bytes d) {
    // Tags that real files hold, the sub-directory tags themselves, and two
    // taken from the input so that any entry can be requested.
    std::uint32_t tags[] = {0x0100, 0x010F, 0x0132, 0x8769, 0x9003, 0xA002, 0x014A, 0, 0};
    if (d.size() >= 14)
        tags[7] = lk::load_le16(d.data() + 10), tags[8] = lk::load_be16(d.data() + 12);
    static constexpr std::size_t kCapacities[] = {1, 2, 3, 4, 8, 40, 1024};
    std::array<std::array<std::uint8_t, 1024>, 9> buffers{};
    // Each mode once, with a still-wanted count that stops early or never.
    for (int mode = 0; mode <= 2; ++mode) {
        std::vector<lk::TagRequest> requests;
        for (std::size_t i = 0; i < 9; ++i)
            requests.push_back(
                {tags[i], buffers[i].data(), kCapacities[(i + std::size_t(mode)) % 7]});
        (void)lk::read_tiff_tags(d, requests, mode == 1 ? 10 : 2 * mode + 1, mode);
        for (const lk::TagRequest& r : requests)
            if (r.delivered > r.capacity) __builtin_trap();
    }
    lk::RawProbe probe;
    if (!is_known_ext(lk::raw_ext_from_tiff(d, &probe))) __builtin_trap();
    if (!is_known_ext(lk::raw_ext_from_tiff(d))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    walk_all(d);
    std::string date;
    (void)lk::read_exif_date(d, date);
    // Behind a header in either byte order (the magic chosen by the input),
    // whole and cut in half.
    const std::string_view headers[] = {
        std::string_view("II*\0\x08\0\0\0", 8), std::string_view("MM\0*\0\0\0\x08", 8),
        std::string_view("IIU\0\x08\0\0\0", 8), std::string_view("MMOR\0\0\0\x08", 8)};
    for (int order = 0; order < 2; ++order) {
        const std::string_view header = headers[order + 2 * (size % 2)];
        std::vector<std::uint8_t> tiff(header.begin(), header.end());
        tiff.insert(tiff.end(), data, data + std::min<std::size_t>(size, 1 << 16));
        walk_all(tiff);
        walk_all(lk::Bytes(tiff).first(tiff.size() / 2));
        (void)lk::read_exif_date(tiff, date);
    }
    return 0;
}
