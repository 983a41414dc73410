// Transport streams in 192-byte packets (a 4-byte time stamp, then a 188-byte
// packet starting with the sync byte 0x47), walked over unclaimed clusters.
#include "formats/containers.hpp"

namespace lk {
namespace {

constexpr std::uint64_t kPacketSize = 192;
constexpr std::size_t kSyncOffset = 4;
constexpr std::uint8_t kSyncByte = 0x47;

}  // namespace

// There is no length field to trust, so every packet is read: the stream ends
// at the first packet that is not there or lost its sync byte. The walk ends
// with the stream on that packet's cluster.
ContainerWalk walk_mts(ClusterStream& stream) {
    ContainerWalk walk;
    std::uint8_t packet[kPacketSize];
    for (;;) {
        const std::int32_t packet_cluster = stream.current_cluster();
        if (!stream.read(packet, kPacketSize)) break;
        if (packet[kSyncOffset] != kSyncByte) {
            walk.clean_end = true;  // a whole packet without sync: the stream ended before it
            break;
        }
        walk.has_complete = true;
        walk.last_complete_start = packet_cluster;
        walk.complete_end = stream.position();
    }
    walk.accepted = stream.current_cluster() != 0 && walk.has_complete;
    return walk;
}

}  // namespace lk
