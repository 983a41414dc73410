// The byte stream over unclaimed clusters that the movie container walks read.
// The engine's block reader implements it over the card; tests and fuzzers
// implement it over memory.
#pragma once

#include <cstdint>

namespace lk {

class ClusterStream {
public:
    virtual ~ClusterStream() = default;

    // Reads n bytes into dest, or skips n bytes when dest is null (skipping
    // passes whole clusters without reading them). False when the clusters
    // run out, a read fails or a stop was requested.
    virtual bool read(std::uint8_t* dest, std::uint64_t n) = 0;

    // Reads n bytes without consuming them.
    virtual bool peek(std::uint8_t* dest, std::uint64_t n) = 0;

    // The cluster of the last advance: before the first read of a stream
    // opened at cluster s this is s - 1; 0 after a stop request.
    virtual std::int32_t current_cluster() const = 0;

    // Bytes consumed so far.
    virtual std::uint64_t position() const = 0;
};

}  // namespace lk
