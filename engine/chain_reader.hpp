// Reads a file's bytes along its cluster chain, the way saving and the
// catalogue's refinements see a recovered file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lk {

struct Engine;

class ChainReader {
public:
    enum class Stop {
        None,        // more bytes may follow
        ChainEnded,  // the next cluster is not a valid data cluster
        ReadFailed,  // a cluster read failed (past the last cluster, outside the range)
        Stopped,     // the engine's stop flag was raised
    };

    // copy -1 reads consecutive clusters from first.
    ChainReader(Engine& e, std::int64_t first, std::int32_t copy, std::int32_t shift);

    // Reads up to n bytes along the chain into dest; returns the bytes
    // delivered. Fewer than n means the walk stopped (see stop()).
    std::size_t read(std::uint8_t* dest, std::size_t n);
    Stop stop() const { return stop_; }

private:
    Engine& e_;
    std::int64_t cluster_;
    std::int32_t copy_;
    std::int32_t shift_;
    std::uint32_t offset_in_cluster_ = 0;
    std::int64_t consecutive_offset_ = 0;  // for copy -1
    Stop stop_ = Stop::None;
};

}  // namespace lk
