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
void walk_mts(ClusterStream& stream) {
    std::uint8_t packet[kPacketSize];
    while (stream.read(packet, kPacketSize) && packet[kSyncOffset] == kSyncByte) {
    }
}

}  // namespace lk
