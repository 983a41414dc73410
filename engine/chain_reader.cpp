#include "engine/chain_reader.hpp"

#include <algorithm>
#include <cstring>

#include "engine/common.hpp"

namespace lk {

ChainReader::ChainReader(Engine& e, std::int64_t first, std::int32_t copy, std::int32_t shift)
    : e_(e), cluster_(first), copy_(copy), shift_(shift) {}

std::size_t ChainReader::read(std::uint8_t* dest, std::size_t n) {
    std::size_t delivered = 0;
    if (copy_ == -1) {
        // Consecutive clusters: one piece from the first cluster's offset.
        std::int64_t offset = cluster_offset(e_.geo, cluster_) + shift_ + consecutive_offset_;
        std::int64_t r = e_.input.read_input(e_.opt.sector_range, offset, dest, n, true);
        if (r == -2) {
            stop_ = Stop::ReadFailed;
            return 0;
        }
        consecutive_offset_ += static_cast<std::int64_t>(n);
        return n;
    }
    const std::uint32_t cs = e_.geo.cluster_size;
    while (delivered < n) {
        if (e_.stop_requested()) {
            stop_ = Stop::Stopped;
            break;
        }
        if (!e_.valid(cluster_) || cs == 0) {
            stop_ = Stop::ChainEnded;
            break;
        }
        // Consecutive clusters of the chain are read in one piece: a
        // contiguous file then costs a few large reads.
        std::size_t want = std::min<std::size_t>(cs - offset_in_cluster_, n - delivered);
        std::int64_t last = cluster_;
        while (want < n - delivered) {
            const std::int32_t next = fat_next(e_, last, copy_);
            if (next != last + 1 || !e_.valid(next)) break;
            last = next;
            want += std::min<std::size_t>(cs, n - delivered - want);
        }
        std::int64_t r = read_cluster(e_, cluster_, dest + delivered, want,
                                      shift_ + static_cast<std::int32_t>(offset_in_cluster_), true);
        if (r != static_cast<std::int64_t>(want) && r != -2) {
            stop_ = Stop::ReadFailed;
            break;
        }
        delivered += want;
        // Where the read ended, counted from the start of the run's first cluster.
        const std::uint64_t end = std::uint64_t(offset_in_cluster_) + want;
        const std::int64_t whole = static_cast<std::int64_t>(end / cs);
        offset_in_cluster_ = static_cast<std::uint32_t>(end % cs);
        cluster_ = offset_in_cluster_ != 0 ? cluster_ + whole : fat_next(e_, cluster_ + whole - 1, copy_);
    }
    return delivered;
}

}  // namespace lk
