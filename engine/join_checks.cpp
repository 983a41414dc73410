#include "engine/join_checks.hpp"

#include <algorithm>

#include "engine/common.hpp"
#include "formats/identify.hpp"

namespace lk {

bool read_clusters(Engine& e, std::int32_t shift, std::span<const std::int32_t> clusters, std::uint8_t* out,
                   bool ahead) {
    bool all = true;
    const std::uint32_t cs = e.geo.cluster_size;
    // Within a sector range a read is made only when it lies wholly inside:
    // one cluster at a time, so that each is read or zeroed on its own.
    const bool runs = !e.opt.sector_range.is_set();
    for (std::size_t i = 0; i < clusters.size();) {
        std::size_t j = i + 1;
        while (runs && j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
        const std::int64_t offset = cluster_offset(e.geo, clusters[i]) + shift;
        const std::size_t length = (j - i) * cs;
        const std::int64_t got = ahead ? e.input.read_input_ahead(e.opt.sector_range, offset, out + i * cs, length, true)
                                       : e.input.read_input(e.opt.sector_range, offset, out + i * cs, length, true);
        all = all && got >= 0;
        i = j;
    }
    return all;
}

std::size_t first_piece_bytes(std::span<const std::int32_t> clusters, std::uint32_t cluster_size) {
    for (std::size_t i = 1; i < clusters.size(); ++i)
        if (clusters[i] != clusters[i - 1] + 1) return i * cluster_size;
    return 0;
}

JoinChecks::JoinChecks(Engine& e) : e_(e) {}

JoinChecks::~JoinChecks() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void JoinChecks::plan_after(std::int64_t start) {
    const CarveState& s = e_.carve;
    const std::int32_t shift = e_.carve.data_shift;
    const HeaderList& map = headers_at_shift(e_, shift);
    if (map.empty()) return;
    const auto after = static_cast<std::size_t>(first_header_after(map, start) - map.begin());
    std::unique_lock guard(lock_);
    if (shift != shift_ || start <= last_start_) {
        // Another sweep over the index: what was planned for the last one
        // goes (the claims have changed since).
        changed_.wait(guard, [&] {
            return std::none_of(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.state == Job::State::Working; });
        });
        jobs_.clear();
        shift_ = shift;
        cursor_ = 0;
    }
    last_start_ = start;
    cursor_ = std::max(cursor_, after);
    // The sweep has passed the pictures before start: their plans are not
    // asked for (the sweep passed over the header, or carved no picture).
    jobs_.remove_if([&](const Job& j) { return j.start < start && j.state != Job::State::Working; });
    const std::uint64_t max = max_file_size("JPG", e_.opt.movie_limit);
    const std::size_t max_clusters = static_cast<std::size_t>(clusters_for(e_.geo, max));
    std::size_t looked = 0;
    while (cursor_ < map.size() && jobs_.size() < kAhead && looked++ < kHeadersPerPlan) {
        const auto [c, id] = map[cursor_++];
        if (s.tags[id] != "JPG" || cluster_in_use(e_, c)) continue;
        guard.unlock();  // the thread may go on meanwhile
        const std::int64_t stop = recover_until_uniform_or_magic(e_, c, "JPG", "");
        Job job;
        job.shift = shift;
        job.start = c;
        const auto entry = e_.lost.find(c);
        job.seam = entry == e_.lost.end() || entry->second.shift != shift;
        for (std::int64_t d = c; d < stop && job.clusters.size() < max_clusters; ++d)
            if (!cluster_in_use(e_, d)) job.clusters.push_back(static_cast<std::int32_t>(d));
        guard.lock();
        // In one piece, the picture needs no check.
        if (job.clusters.empty() || first_piece_bytes(job.clusters, e_.geo.cluster_size) == 0) continue;
        jobs_.push_back(std::move(job));
        ++planned_;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        changed_.notify_all();
    }
}

std::optional<JpegDecodeCheck> JoinChecks::take(std::int64_t start, std::span<const std::int32_t> clusters,
                                                std::uint64_t size, bool seam) {
    std::unique_lock guard(lock_);
    const std::int32_t shift = e_.carve.data_shift;
    auto job = std::find_if(jobs_.begin(), jobs_.end(),
                            [&](const Job& j) { return j.shift == shift && j.start == start; });
    if (job == jobs_.end()) return std::nullopt;
    if (job->state == Job::State::Waiting) work_on(*job, guard);  // made here rather than waited for
    // While the thread works on it, the waiting ones are made here.
    while (job->state != Job::State::Done)
        if (!work_on_one(guard)) changed_.wait(guard, [&] { return job->state == Job::State::Done; });
    const bool same = job->checked && (job->seam || !seam) && job->size == size &&
                      job->clusters.size() >= clusters.size() &&
                      std::equal(clusters.begin(), clusters.end(), job->clusters.begin());
    const JpegDecodeCheck check = job->check;
    jobs_.erase(job);
    guard.unlock();
    e_.input.flush_reports();  // the read-error lines of reads made ahead
    if (!same) return std::nullopt;
    ++used_;
    return check;
}

void JoinChecks::work(Job& job) {
    const std::uint32_t cs = e_.geo.cluster_size;
    const std::uint64_t max = max_file_size("JPG", e_.opt.movie_limit);
    try {
        // As the carving pass holds them: the clusters' bytes up to the
        // largest picture, measured by the picture's format.
        std::vector<std::uint8_t> data(job.clusters.size() * cs);
        // Pieces that cannot be read are no picture's.
        if (!read_clusters(e_, job.shift, job.clusters, data.data(), true)) return;
        const std::size_t held = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), max));
        const std::int32_t size = content_extent(Bytes(data.data(), held));
        if (size <= 0) return;
        job.size = static_cast<std::uint64_t>(size);
        const std::size_t n = static_cast<std::size_t>(clusters_for(e_.geo, job.size));
        const std::size_t head = first_piece_bytes(std::span(job.clusters).first(n), cs);
        if (head == 0) return;  // in one piece: not checked
        job.check = check_jpeg_decode(Bytes(data.data(), static_cast<std::size_t>(job.size)), head, job.seam);
        job.checked = true;
    } catch (...) {
        // A read that failed: the engine's thread makes the check itself
        // and meets the failure there.
        job.checked = false;
    }
}

void JoinChecks::work_on(Job& job, std::unique_lock<std::mutex>& guard) {
    job.state = Job::State::Working;
    guard.unlock();
    work(job);
    guard.lock();
    job.state = Job::State::Done;
    changed_.notify_all();
}

bool JoinChecks::work_on_one(std::unique_lock<std::mutex>& guard) {
    auto job = std::find_if(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.state == Job::State::Waiting; });
    if (job == jobs_.end()) return false;
    work_on(*job, guard);
    return true;
}

void JoinChecks::run() {
    std::unique_lock guard(lock_);
    while (!quit_)
        if (!work_on_one(guard)) changed_.wait(guard);
}

}  // namespace lk
