// ASF object walk over unclaimed clusters.
//
// Object header:
//   offset | size | meaning
//   0      | 16   | object identifier (GUID as stored)
//   16     | 8    | object size, little-endian, header included (low word first)
#include <array>
#include <cstring>

#include "formats/containers.hpp"

namespace lk {
namespace {

using Guid = std::array<std::uint8_t, 16>;

// The top-level objects a recorder writes: header, data and simple index.
constexpr std::array<Guid, 3> kTopLevelObjects = {{
    {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE,
     0x6C},
    {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE,
     0x6C},
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49,
     0xCB},
}};

constexpr std::uint64_t kObjectHeaderSize = 24;

}  // namespace

ContainerWalk walk_asf(ClusterStream& stream, std::uint64_t movie_limit) {
    ContainerWalk walk;
    const std::uint64_t limit = max_file_size("ASF", movie_limit);
    for (;;) {
        const std::int32_t object_cluster = stream.current_cluster();
        const std::uint64_t object_start = stream.position();

        Guid id;
        if (!stream.read(id.data(), id.size())) break;
        bool known = false;
        for (const auto& g : kTopLevelObjects) known = known || g == id;
        if (!known) {
            walk.clean_end = true;  // what follows the file is not a part of it
            break;
        }

        std::uint8_t word[4];
        const std::uint32_t low = stream.read(word, 4) ? load_le32(word) : 0xFFFFFFFFu;
        const std::uint32_t high = stream.read(word, 4) ? load_le32(word) : 0xFFFFFFFFu;
        // Objects of 4 GiB or more cannot be carved; below 24 bytes the object
        // would not even hold its own header.
        if (high != 0 || low < kObjectHeaderSize || low > limit) break;

        const std::uint64_t object_end = object_start + low;
        if (object_end < stream.position() || !stream.read(nullptr, object_end - stream.position()))
            break;

        walk.has_complete = true;
        walk.last_complete_start = object_cluster;
        walk.complete_end = object_end;
    }
    walk.accepted = stream.current_cluster() != 0 && walk.has_complete;
    return walk;
}

}  // namespace lk
