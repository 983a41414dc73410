// Movie and sound containers: QuickTime/MP4 atoms, ASF objects, 192-byte
// transport streams (walked over the card), RIFF and MPEG-1 program streams
// (measured in memory).
#pragma once

#include <cstdint>
#include <vector>

#include "base/bytes.hpp"
#include "formats/cluster_stream.hpp"
#include "formats/identify.hpp"

namespace lk {

// What a container walk saw; the carver turns it into an end cluster.
struct ContainerWalk {
    bool accepted = false;                 // the walk found something worth a file
                                           // (QuickTime: an "mdat" and a complete atom;
                                           //  ASF: a complete object)
    bool has_complete = false;             // at least one atom/object walked completely
    std::int32_t last_complete_start = 0;  // current_cluster() noted at that atom's start
    bool last_is_mdat = false;             // the last atom type in the list was "mdat"
    std::uint64_t complete_end = 0;        // stream position() just past the last complete
                                           // atom/object (0 when none): the bytes the walk
                                           // vouches for
    bool clean_end = false;                // the walk stopped at a header it could read but
                                           // not accept: the container ends at complete_end
};

// Walks QuickTime atoms from the stream's start. May replace tag ("MOV") by a
// brand tag ("MP4", "3GP", "M4A"...). Atom sizes above
// max_file_size(tag, movie_limit) stop the walk, and so do 64-bit sizes of
// 4 GiB or more and sizes below the atom's own header (8 or 16 bytes).
// accepted is false after a stop request (current_cluster() 0).
ContainerWalk walk_quicktime(ClusterStream& stream, TypeTag& tag, std::uint64_t movie_limit);

// Whether every chunk offset of the movie's sample tables ("stco", 32-bit,
// and "co64", 64-bit, in moov/trak/mdia/minf/stbl) points inside one of its
// "mdat" atoms: the check that a movie put together from pieces has its
// media data where its index says. Walks the top-level atoms over the
// stream's first size bytes and reads "moov" whole (up to 64 MB); false
// without a "moov", without any chunk offset, or when an atom runs past size.
bool chunk_offsets_inside_mdat(ClusterStream& stream, std::uint64_t size);

// The offset of every sample of the movie's tracks (from the chunk offsets,
// samples per chunk and sample sizes of each sample table), sorted; empty
// without a readable "moov" within the stream's first size bytes.
std::vector<std::uint64_t> quicktime_sample_offsets(ClusterStream& stream, std::uint64_t size);

// Walks ASF objects from the stream's start.
ContainerWalk walk_asf(ClusterStream& stream, std::uint64_t movie_limit);

// Reads 192-byte packets while byte 4 of each is the sync byte 0x47;
// complete_end is the end of the last packet that had it.
ContainerWalk walk_mts(ClusterStream& stream);

// Extents with the content_extent convention (size, or 0 when the end is not
// within the data).
std::int32_t riff_extent(Bytes data);
std::int32_t mpeg_extent(Bytes data);

}  // namespace lk
