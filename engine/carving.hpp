// Carving contiguous files out of unclaimed clusters, at the unshifted
// cluster grid and at shifts of whole sectors.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/catalogue.hpp"
#include "formats/identify.hpp"
#include "formats/jpeg.hpp"

namespace lk {

struct Engine;
class JoinChecks;

struct shift_count_t {
    std::int32_t shift;  // bytes
    std::uint32_t count;
};

// A JPEG candidate at shift 0 measured while the sequential read went by,
// by the rules the first pass carves it with (over the unclaimed clusters
// after its header up to the next header, a uniform cluster once it holds
// the uniform stop size, or its largest size), so that the first pass need
// not read its clusters again.
struct measured_jpeg_t {
    std::int32_t first = 0;    // the header cluster
    std::int32_t last = 0;     // the last cluster the walk was given
    std::uint32_t given = 0;   // clusters given, all unclaimed when read
    std::int32_t end = 0;      // the cluster that ended the candidate (unsettled walks)
    bool settled = false;      // the walk decided before the candidate ended
    bool capped = false;       // the candidate reached its largest size
    std::int32_t extent = 0;   // jpeg_extent of the bytes given
};

struct CarveState {
    // Bytes added to every cluster read of carving: the cluster grid
    // displaced by a whole number of sectors (0 outside the carving runs).
    std::int32_t data_shift = 0;
    // Header index: one map per sector offset k within a cluster, cluster ->
    // index into the interned tags.
    std::vector<std::vector<std::pair<std::int32_t, std::uint16_t>>> headers;  // HeaderList each
    std::vector<std::string> tags;  // interned tag texts
    Bitmap uniform;
    std::vector<shift_count_t> shift_list;
    std::vector<measured_jpeg_t> measured;  // by ascending first cluster
    JpegExtentWalk walk;                    // of measured.back() while it is open
    bool walking = false;
    std::uint64_t walked = 0;               // bytes given to the open walk
    double join_seconds = 0;                // spent putting files in pieces together
    double piece_check_seconds = 0;         // spent by the first pass checking pictures in pieces
    std::set<std::int32_t> joins_tried;     // lost entries searched for, by first cluster
    std::size_t shift_cursor = 0;
    std::uint32_t carved_number = 1;
    // Where the sequential read stopped when it was cancelled: nothing at
    // or past it was indexed, so carving ends there.
    std::int64_t read_end = INT64_MAX;
    // The bytes of the file being carved; kept between files so that each
    // one is not a fresh (and freshly zeroed) allocation.
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> joined;  // likewise, the bytes of a picture whose join is checked
    JoinChecks* join_checks = nullptr;  // checks made ahead, during the first pass

    void reset() {
        data_shift = 0;
        headers.clear();
        tags.clear();
        uniform.clear();
        shift_list.clear();
        shift_cursor = 0;
        measured.clear();
        walking = false;
        join_seconds = 0;
        piece_check_seconds = 0;
        joins_tried.clear();
        read_end = INT64_MAX;
        std::vector<std::uint8_t>().swap(data);
        std::vector<std::uint8_t>().swap(joined);
    }
};

// What the index takes from a run of clusters' bytes alone, so that it can
// be worked out on the thread that reads ahead while the engine's thread
// indexes the run before: for each cluster whether its bytes are all equal,
// and for each sector the header that starts there (a candidate at that
// sector's shift).
class HeaderLooks {
  public:
    // A thread's room for the searches of one cluster.
    struct PdfScratch {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> patterns;  // the PDF patterns
        std::vector<std::uint32_t> leads;
    };
    // Makes room for the run's clusters; then look_at fills them in, any
    // cluster on any thread, each once.
    void prepare(Bytes run, std::uint32_t cluster_size, const SignatureTable* signatures);
    std::size_t clusters() const { return uniform_.size(); }
    void look_at(std::size_t cluster, PdfScratch& pdf);
    bool uniform(std::size_t cluster) const { return uniform_[cluster] != 0; }
    // The headers of one cluster's sectors, its first sector's first.
    const TypeTag* headers(std::size_t cluster) const { return tags_.data() + cluster * per_cluster_; }
    // Where a JPEG marker walk would stop in the cluster, found in the same
    // pass as the PDF patterns; not complete when there are too many to
    // list (as in most data that is not a JPEG's) or the cluster is uniform.
    JpegMarkerHints marker_hints(std::size_t cluster) const {
        const std::uint8_t n = mark_counts_[cluster];
        return {marks_.data() + cluster * kMaxMarks, n <= kMaxMarks ? n : 0u, n <= kMaxMarks};
    }

  private:
    static constexpr std::size_t kMaxMarks = 8;
    std::vector<std::uint32_t> marks_;       // kMaxMarks a cluster
    std::vector<std::uint8_t> mark_counts_;  // more than kMaxMarks: not all listed
    Bytes run_;
    std::uint32_t cluster_size_ = 0;
    const SignatureTable* signatures_ = nullptr;
    std::vector<std::uint8_t> uniform_;
    std::vector<TypeTag> tags_;
    std::size_t per_cluster_ = 0;
};

// Asks for a cluster's first page ahead of its use: the processor fetches
// ahead within a page only, so the next cluster's bytes are on their way
// while one is looked at.
inline void prefetch_cluster(const std::uint8_t* cluster, std::uint32_t cluster_size) {
    for (std::uint32_t b = 0; b < cluster_size && b < 4096; b += 64) __builtin_prefetch(cluster + b);
}

// Indexes one cluster of the sequential read, the index-th of looks' run.
void index_cluster(Engine& e, std::int64_t cluster, const std::uint8_t* data, const HeaderLooks& looks,
                   std::size_t index);
// The sequential read has gone over every cluster up to end (exclusive):
// the JPEG candidate still open ends there.
void end_index(Engine& e, std::int64_t end);
TypeTag header_at(Engine& e, std::int64_t cluster, std::int32_t shift = -1);
// The headers indexed at a shift (none where the index has no such shift),
// by ascending cluster, and the first of them after cluster.
using HeaderList = std::vector<std::pair<std::int32_t, std::uint16_t>>;
const HeaderList& headers_at_shift(const Engine& e, std::int32_t shift);
HeaderList::const_iterator first_header_after(const HeaderList& list, std::int64_t cluster);
bool is_uniform(Engine& e, std::int64_t cluster);
std::uint32_t recover_contiguous_files(Engine& e, dir_t& found, bool first_pass);
std::int64_t recover_until_uniform_or_magic(Engine& e, std::int64_t start, TypeTag tag, TypeTag allowed_tag);
// measured: the length a container walk found for the file (0 = none).
bool carve_file(Engine& e, dir_t& found, std::int64_t start, std::int64_t end, std::uint32_t number,
                TypeTag tag, bool first_pass, std::uint64_t measured = 0);
std::uint32_t detect_shift(Engine& e);

}  // namespace lk
