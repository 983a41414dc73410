#include "formats/memory_stream.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace lk {

MemoryStream::MemoryStream(Bytes data, std::uint32_t cluster_size, std::int32_t first_cluster)
    : data_(data),
      cluster_size_(cluster_size == 0 ? 1 : cluster_size),
      first_(first_cluster),
      count_(0),
      current_(first_cluster - 1) {
    set_cluster_count(std::int64_t((data.size() + cluster_size_ - 1) / cluster_size_));
}

void MemoryStream::set_cluster_count(std::int64_t count) {
    // Cluster numbers are 32-bit on the card; keep the range representable.
    const std::int64_t room = std::int64_t(std::numeric_limits<std::int32_t>::max()) - first_;
    count_ = std::clamp<std::int64_t>(count, 0, room);
}

void MemoryStream::claim(std::int32_t cluster) {
    const std::int64_t index = std::int64_t(cluster) - first_;
    if (index < 0 || index >= count_) return;
    if (claimed_.size() <= std::size_t(index)) claimed_.resize(std::size_t(index) + 1, false);
    claimed_[std::size_t(index)] = true;
}

std::int32_t MemoryStream::end_cluster() const {
    return std::int32_t(first_ + count_);
}

bool MemoryStream::advance() {
    if (stopped_ || stop_requested_ || advances_ >= stop_after_) {
        stopped_ = true;
        current_ = 0;
        return false;
    }
    const std::int32_t end = end_cluster();
    std::int32_t next = std::max(current_ + 1, first_);
    while (next < end) {
        const std::size_t index = std::size_t(next - first_);
        if (index >= claimed_.size() || !claimed_[index]) break;
        ++next;
    }
    current_ = std::min(next, end);
    if (current_ == end) return false;
    ++advances_;
    return true;
}

bool MemoryStream::read(std::uint8_t* dest, std::uint64_t n) {
    while (n > 0) {
        const std::uint64_t offset = position_ % cluster_size_;
        if (offset == 0 && !advance()) return false;
        const std::uint64_t chunk = std::min<std::uint64_t>(cluster_size_ - offset, n);
        if (dest) {
            // Bytes of the current cluster, zeros past the data's end.
            const std::uint64_t at = std::uint64_t(current_ - first_) * cluster_size_ + offset;
            const std::uint64_t have =
                at < data_.size() ? std::min<std::uint64_t>(chunk, data_.size() - at) : 0;
            if (have) std::memcpy(dest, data_.data() + at, std::size_t(have));
            if (have < chunk) std::memset(dest + have, 0, std::size_t(chunk - have));
            dest += chunk;
        }
        position_ += chunk;
        n -= chunk;
    }
    return true;
}

bool MemoryStream::peek(std::uint8_t* dest, std::uint64_t n) {
    const std::uint64_t position = position_;
    const std::int32_t current = current_;
    const std::uint64_t advances = advances_;
    const bool ok = read(dest, n);
    if (!stopped_) {  // a stop seen while peeking stays seen
        position_ = position;
        current_ = current;
        advances_ = advances;
    }
    return ok;
}

}  // namespace lk
