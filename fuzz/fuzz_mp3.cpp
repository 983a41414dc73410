// MP3 extent over arbitrary bytes and behind an ID3v2 header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/sound.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::mp3_extent, d, true);
    (void)lk::is_id3_tagged_flac(d);
    // A tag of a size taken from the input, then frames or FLAC.
    lk::fuzz::check_extent(lk::mp3_extent,
                           lk::fuzz::behind(std::string_view("ID3\x03\0\0\0\0", 8), d), true);
    return 0;
}
