// ASF object walk over a memory card: the whole input is the card
// (so sample files walk from their real start); its last byte picks the
// cluster size and whether, and which, cluster another file claims.
#include <cstddef>
#include <cstdint>

#include "formats/containers.hpp"
#include "formats/memory_stream.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t knobs = data[size - 1];
    lk::MemoryStream stream(lk::Bytes(data, size), 512u << (knobs & 3));
    if (knobs & 0x80) stream.claim(2 + ((knobs >> 2) & 7));
    const lk::ContainerWalk walk = lk::walk_asf(stream, lk::kDefaultMovieLimit);
    if (walk.complete_end > stream.position()) __builtin_trap();  // measured past what was walked
    return 0;
}
