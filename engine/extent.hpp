// A recovered file as the byte runs on the input that hold it. Whatever found
// the file (a chain in a FAT copy, consecutive clusters, pieces joined by
// content, a guess from a lost entry) describes it once, as runs, when the
// catalogue accepts it; saving, previews, grading, the catalogue's claims and
// the reports read the runs and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <utility>
#include <vector>

#include "base/sector_range.hpp"

namespace lk {

struct card_geometry_t;
class Input;

// A stretch of a file's bytes: where they lie on the input, or zeros
// (offset kZeros) where the bytes are unknown or recorded as zeros (an exFAT
// file past its valid data length).
struct ByteRun {
    static constexpr std::int64_t kZeros = -1;
    std::int64_t offset = kZeros;
    std::uint64_t length = 0;

    bool zeros() const { return offset < 0; }
    bool operator==(const ByteRun&) const = default;
};

// How a file's runs were found, from the most certain to the least.
enum class ExtentHow : std::uint8_t {
    Chain,        // its whole chain in a FAT copy
    Consecutive,  // consecutive clusters from its first one (exFAT NoFatChain, carving)
    Pieces,       // runs put together, by content or by its entry's size
    Guessed,      // a lost chain guessed cluster by cluster from its first cluster
    Partial,      // its chain broke, or its reading stopped: some bytes are not its own
};

// "chain", "consecutive", "pieces", "guessed", "partial".
const char* extent_how_name(ExtentHow how);

// A file's runs in file order. Adjacent runs are merged as they are added,
// so the runs are as few as the file's layout allows; their lengths add up
// to the file's size.
struct Extent {
    std::vector<ByteRun> runs;
    ExtentHow how = ExtentHow::Chain;
    // Bytes that did not come from the file's own chain or measure: the
    // guessed continuation of a broken chain, zeros where nothing was left,
    // bytes cut off by a cancel or a read error. Only partial files have any.
    std::uint64_t foreign = 0;

    std::uint64_t size() const;
    bool empty() const { return runs.empty(); }
    // Bytes of data runs (those that are read from the input).
    std::uint64_t data_bytes() const;
    void add(std::int64_t offset, std::uint64_t length);
    void add_zeros(std::uint64_t length);
    // Keeps the first size bytes (a file measured shorter than its clusters).
    void truncate(std::uint64_t size);
};

// Runs of clusters on the cluster grid displaced by shift bytes, as the runs
// of a file that holds bytes of every cluster it covers: (first cluster,
// clusters) pairs, in file order. Zero runs cover no cluster.
using ClusterRuns = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
ClusterRuns cluster_runs(const card_geometry_t& g, const Extent& x, std::int32_t shift);

// Appends bytes of cluster c (at most a cluster's worth) at the shift.
void add_cluster(Extent& x, const card_geometry_t& g, std::int64_t c, std::int32_t shift, std::uint64_t bytes);

// Reads a file's bytes along its runs, in order. A data run is read through
// the input's read-error policy (unreadable sectors come back as fill bytes),
// honouring the sector range (bytes outside it read as zeros); zero runs give
// zeros. Only a stop request ends a read early.
class ExtentReader {
  public:
    ExtentReader(Input& input, const SectorRange& range, std::span<const ByteRun> runs,
                 std::stop_token stop = {});

    // Reads up to n bytes into dest; fewer only at the end of the runs or
    // after a stop request (see stopped()).
    [[nodiscard]] std::size_t read(std::uint8_t* dest, std::size_t n);
    // When the next bytes are a zero run's, passes over the rest of that run
    // and returns how many bytes it passed; else 0.
    std::uint64_t skip_zeros();
    bool stopped() const { return stopped_; }
    std::uint64_t position() const { return position_; }

  private:
    Input& input_;
    SectorRange range_;
    std::span<const ByteRun> runs_;
    std::stop_token stop_;
    std::size_t run_ = 0;         // the run being read
    std::uint64_t in_run_ = 0;    // bytes of it already read
    std::uint64_t position_ = 0;  // bytes delivered
    bool stopped_ = false;
};

}  // namespace lk
