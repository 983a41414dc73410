#include "engine/extent.hpp"

#include <algorithm>
#include <cstring>

#include "engine/geometry.hpp"
#include "input/input.hpp"

namespace lk {

const char* extent_how_name(ExtentHow how) {
    switch (how) {
        case ExtentHow::Chain:
            return "chain";
        case ExtentHow::Consecutive:
            return "consecutive";
        case ExtentHow::Pieces:
            return "pieces";
        case ExtentHow::Guessed:
            return "guessed";
        case ExtentHow::Partial:
            return "partial";
    }
    return "chain";
}

std::uint64_t Extent::size() const {
    std::uint64_t n = 0;
    for (const ByteRun& r : runs) n += r.length;
    return n;
}

std::uint64_t Extent::data_bytes() const {
    std::uint64_t n = 0;
    for (const ByteRun& r : runs)
        if (!r.zeros()) n += r.length;
    return n;
}

void Extent::add(std::int64_t offset, std::uint64_t length) {
    if (length == 0) return;
    if (offset < 0) return add_zeros(length);
    if (!runs.empty() && !runs.back().zeros() &&
        runs.back().offset + static_cast<std::int64_t>(runs.back().length) == offset) {
        runs.back().length += length;
        return;
    }
    runs.push_back({offset, length});
}

void Extent::add_zeros(std::uint64_t length) {
    if (length == 0) return;
    if (!runs.empty() && runs.back().zeros()) {
        runs.back().length += length;
        return;
    }
    runs.push_back({ByteRun::kZeros, length});
}

void Extent::truncate(std::uint64_t size) {
    std::uint64_t kept = 0;
    std::size_t i = 0;
    for (; i < runs.size() && kept < size; ++i) {
        runs[i].length = std::min(runs[i].length, size - kept);
        kept += runs[i].length;
    }
    runs.resize(i);
}

ClusterRuns cluster_runs(const card_geometry_t& g, const Extent& x, std::int32_t shift) {
    ClusterRuns out;
    if (g.cluster_size == 0) return out;
    for (const ByteRun& r : x.runs) {
        if (r.zeros() || r.length == 0) continue;
        // The grid's clusters that the run's bytes, taken back by the shift,
        // start and end in (bytes before cluster 2 belong to none).
        const std::int64_t start = r.offset - shift - g.cluster2;
        const std::int64_t end = start + static_cast<std::int64_t>(r.length) - 1;
        if (start < 0) continue;
        const std::int64_t first = start / g.cluster_size + 2;
        const std::int64_t last = std::min<std::int64_t>(end / g.cluster_size + 2, g.max_cluster - 1);
        if (!is_valid_cluster(g, first) || last < first) continue;
        const auto c = static_cast<std::uint32_t>(first);
        const auto n = static_cast<std::uint32_t>(last - first + 1);
        if (!out.empty() && out.back().first + out.back().second == c)
            out.back().second += n;
        else
            out.emplace_back(c, n);
    }
    return out;
}

void add_cluster(Extent& x, const card_geometry_t& g, std::int64_t c, std::int32_t shift, std::uint64_t bytes) {
    x.add(cluster_offset(g, c) + shift, std::min<std::uint64_t>(bytes, g.cluster_size));
}

ExtentReader::ExtentReader(Input& input, const SectorRange& range, std::span<const ByteRun> runs,
                           std::stop_token stop)
    : input_(input), range_(range), runs_(runs), stop_(std::move(stop)) {}

std::uint64_t ExtentReader::skip_zeros() {
    if (run_ >= runs_.size() || !runs_[run_].zeros()) return 0;
    const std::uint64_t n = runs_[run_].length - in_run_;
    position_ += n;
    ++run_;
    in_run_ = 0;
    return n;
}

std::size_t ExtentReader::read(std::uint8_t* dest, std::size_t n) {
    // Large reads go to the input in pieces, so that a stop request is seen
    // within a few megabytes.
    constexpr std::size_t kPiece = 4 << 20;
    std::size_t delivered = 0;
    while (delivered < n && run_ < runs_.size()) {
        if (stop_.stop_requested()) {
            stopped_ = true;
            break;
        }
        const ByteRun& r = runs_[run_];
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>({r.length - in_run_, n - delivered, kPiece}));
        if (r.zeros()) {
            std::memset(dest + delivered, 0, want);
        } else {
            const std::int64_t at = r.offset + static_cast<std::int64_t>(in_run_);
            // The input fills what it cannot read (and reports it once) and
            // zeroes what lies outside the sector range: a short result
            // beyond that is the end of the input, whose bytes are zeros too.
            const std::int64_t got = input_.read_input(range_, at, dest + delivered, want, true);
            if (got < static_cast<std::int64_t>(want))
                std::memset(dest + delivered + std::max<std::int64_t>(got, 0), 0,
                            want - static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
        }
        delivered += want;
        in_run_ += want;
        position_ += want;
        if (in_run_ == r.length) {
            ++run_;
            in_run_ = 0;
        }
    }
    return delivered;
}

}  // namespace lk
