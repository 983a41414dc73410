// A ClusterStream over a memory buffer, for tests and fuzz targets: the buffer
// is cut into clusters numbered from first_cluster, and the stream behaves as
// the engine's block reader does over a card (claimed clusters are passed
// over, a stop request ends the iteration with current cluster 0, running out
// of clusters leaves the current cluster at the end of the range).
#pragma once

#include <cstdint>
#include <vector>

#include "base/bytes.hpp"
#include "formats/cluster_stream.hpp"

namespace lk {

class MemoryStream final : public ClusterStream {
  public:
    // Clusters first_cluster, first_cluster + 1, ... cover data; the last one
    // may be partial and reads as zeros past the data's end. cluster_size > 0.
    MemoryStream(Bytes data, std::uint32_t cluster_size, std::int32_t first_cluster = 2);

    // Extends (or shortens) the range to count clusters; clusters past the data
    // read as zeros, so long payloads can be skipped without holding them.
    void set_cluster_count(std::int64_t count);
    // A claimed cluster belongs to another file: the stream passes over it.
    void claim(std::int32_t cluster);
    // The next advance sees the stop (as a cancelled analysis does).
    void request_stop() { stop_requested_ = true; }
    // A stop is seen at the advance after `advances` successful ones.
    void stop_after(std::uint64_t advances) { stop_after_ = advances; }

    // One past the last cluster of the range.
    std::int32_t end_cluster() const;

    bool read(std::uint8_t* dest, std::uint64_t n) override;
    bool peek(std::uint8_t* dest, std::uint64_t n) override;
    std::int32_t current_cluster() const override { return current_; }
    std::uint64_t position() const override { return position_; }

  private:
    bool advance();

    Bytes data_;
    std::uint32_t cluster_size_;
    std::int32_t first_;
    std::int64_t count_;
    std::vector<bool> claimed_;  // by cluster index from first_
    std::int32_t current_;       // first_ - 1 before the first advance
    std::uint64_t position_ = 0;
    std::uint64_t advances_ = 0;
    std::uint64_t stop_after_ = UINT64_MAX;
    bool stop_requested_ = false;
    bool stopped_ = false;
};

}  // namespace lk
