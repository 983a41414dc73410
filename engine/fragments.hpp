// Files in two pieces put back together. A card that was filled, had files
// deleted and was filled again holds files in two pieces around the ones
// that stayed; carving in one piece gives such a file its first piece and
// whatever follows it. These searches run after the first carving pass, so
// that only the clusters no whole file took are offered as pieces.
#pragma once

#include <cstdint>

namespace lk {

struct Engine;
struct dir_t;

// Says in the trace which pieces a file put together from more than one run
// of clusters lies in: a file carved over clusters that other files had
// claimed is put together from pieces too.
void note_pieces(Engine& e, const dir_t& item);

// Lost entries (first cluster F, size S) whose file the first pass could not
// take whole: the first piece runs from F up to the first claimed cluster or
// the first cluster that starts another recognised file; the second is the
// first unclaimed run, in card order from the first piece on, that supplies
// the missing bytes and makes the file valid by its format's rules (a JPEG
// ends with FF D9 at S and decodes cleanly; a QuickTime or MP4 movie's atoms
// add up to S and its chunk offsets point into its media data; any other
// type with a content extent measures S). The file keeps its entry's name
// and goes to its folder. Returns the files put together.
std::uint32_t join_lost_pieces(Engine& e);

// Whether the size bytes of a picture carved from start lie in consecutive
// clusters (carving passes over claimed ones).
bool picture_is_whole(Engine& e, std::int64_t start, std::uint64_t size);

// Whether a JPEG carved from start over the unclaimed clusters, size bytes,
// in more than one piece, is one picture: it decodes cleanly, and either its
// entry recorded exactly that size (recorded, 0 without an entry) or the
// rows of blocks at its first join continue each other.
bool picture_join_holds(Engine& e, std::int64_t start, std::uint64_t size, std::uint64_t recorded);

// JPEG headers without an entry whose marker walk runs into another file, a
// claimed or a uniform cluster inside the scan: the second piece is sought
// among the unclaimed runs that follow, each one whose first cluster starts
// no recognised file, and is taken when the joined picture decodes to its
// end marker without a warning and the rows of blocks on either side of the
// join continue each other. Returns the files put together.
std::uint32_t join_jpeg_pieces(Engine& e);

}  // namespace lk
