#include "input/cache.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input/copy_progress.hpp"
#include "input/input.hpp"

namespace lk {

namespace {

constexpr std::int64_t kSector = 512;
// Misses at the end of a request are widened to this many sectors.
constexpr std::int64_t kFillRun = 128;
constexpr std::size_t kReserveBlock = 262'144;

}  // namespace

std::unique_ptr<InputCache> InputCache::create(const std::string& dir, std::int64_t size) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/') path += '/';
    path += kCacheFileName;
    // Always a new file: an old one (left by a crash before the unlink below
    // could run) is removed, and O_EXCL refuses to follow a planted link.
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // Unlinked at once: the file lives exactly as long as its descriptor.
    ::unlink(path.c_str());
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<InputCache>(new InputCache(fd, size));
}

InputCache::InputCache(int fd, std::int64_t size)
    : fd_(fd), size_(size), held_(static_cast<std::size_t>(size / kSector), false) {}

InputCache::~InputCache() {
    ::close(fd_);
}

void InputCache::mark(std::int64_t first, std::int64_t end) {
    for (std::int64_t s = first; s < end; ++s) held_[static_cast<std::size_t>(s)] = true;
}

bool InputCache::read_file(std::int64_t offset, std::uint8_t* dest, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::pread(fd_, dest, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // a held sector must be in the file
        dest += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool InputCache::write_file(std::int64_t offset, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::pwrite(fd_, data, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool InputCache::ReadThroughCache(std::uint8_t* dest, std::int64_t offset, std::size_t length,
                                  const BlockRead& block_read) {
    if (failed_ || length == 0 || offset < 0) return false;
    const std::int64_t end = offset + static_cast<std::int64_t>(length);
    const std::int64_t first = offset / kSector;
    // The last sector touched: an unaligned request can reach one sector
    // further than its length alone suggests.
    const std::int64_t last = (end + kSector - 1) / kSector;
    const auto bits = static_cast<std::int64_t>(held_.size());
    if (last > bits) return false;

    std::int64_t s = first;
    while (s < last) {
        const bool state = held(s);
        std::int64_t e = s + 1;
        while (e < last && held(e) == state) ++e;
        const std::int64_t run_start = s * kSector;
        if (state) {
            const std::int64_t from = std::max(run_start, offset);
            const std::int64_t to = std::min(e * kSector, end);
            if (!read_file(from, dest + (from - offset), static_cast<std::size_t>(to - from))) {
                failed_ = true;
                return false;
            }
        } else {
            if (e == last)
                while (e < bits && e - s < kFillRun && !held(e)) ++e;
            const std::int64_t run_end = e * kSector;
            const auto run_bytes = static_cast<std::size_t>(run_end - run_start);
            const bool whole = run_start >= offset && run_end <= end;
            std::uint8_t* buf = dest + (run_start - offset);
            if (!whole) {
                if (scratch_.size() < run_bytes) scratch_.resize(run_bytes);
                buf = scratch_.data();
            }
            // What the block read gives (fill bytes for bad sectors included)
            // is what the cache will answer from now on.
            block_read(run_start, buf, run_bytes);
            if (!whole) {
                const std::int64_t from = std::max(run_start, offset);
                const std::int64_t to = std::min(run_end, end);
                std::memcpy(dest + (from - offset), buf + (from - run_start),
                            static_cast<std::size_t>(to - from));
            }
            if (write_file(run_start, buf, run_bytes))
                mark(s, e);
            else
                failed_ = true;  // this request is served; the cache is dropped after it
        }
        s = e;
    }
    return true;
}

bool InputCache::store(std::int64_t offset, const std::uint8_t* data, std::size_t length) {
    if (!write_file(offset, data, length)) {
        failed_ = true;
        return false;
    }
    mark(offset / kSector, (offset + static_cast<std::int64_t>(length) + kSector - 1) / kSector);
    return true;
}

// --- the input's side of the cache ------------------------------------------

void Input::PrepareCache(std::int64_t size, bool replace) {
    bool no_space = false;
    {
        std::lock_guard guard(lock_);
        window_start_ = -1;
        window_length_ = 0;
        size = (std::max<std::int64_t>(size, 0) + kSector - 1) / kSector * kSector;
        if (!replace && cache_ && size <= cache_->size()) return;
        reset_caches_locked();
        if (!cache || size == 0) return;
        // The cache must leave room on the temporary disk; an unknown free
        // space counts as too little.
        const std::int64_t free = free_space ? free_space(temp_dir) : -1;
        if (free < 0 || size > free || free - size < kCacheFreeMargin) {
            no_space = true;
        } else {
            cache_ = InputCache::create(temp_dir, size);
            if (!cache_)
                status_.Trace("Can not create cache file %s%s\n", temp_dir, kCacheFileName);
        }
    }
    if (no_space)
        status_.StatusText(
            "Not enough free disk space to create the cache file, disabling caching...");
}

void Input::ReserveCache() {
    std::int64_t size;
    {
        std::lock_guard guard(lock_);
        if (!cache_) return;
        size = cache_->size();
    }
    status_.StatusStep(ST_STEP, "Reserving cache file, please wait...");
    status_.SendProgress(0);
    std::vector<std::uint8_t> buffer(kReserveBlock);
    for (std::int64_t offset = 0; offset < size && !status_.IsCancelled();
         offset += static_cast<std::int64_t>(kReserveBlock)) {
        const auto length = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(kReserveBlock), size - offset));
        bool ok;
        {
            // One block at a time under the lock, so that other workers can
            // read in between and the bad-sector set stays consistent.
            std::lock_guard guard(lock_);
            if (!cache_) break;  // reset meanwhile
            block_read_locked(offset, buffer.data(), length);
            ok = cache_->store(offset, buffer.data(), length);
            if (!ok) drop_cache_locked();
        }
        flush_reports();
        if (!ok) break;
        status_.SendProgress(static_cast<std::uint32_t>(std::min<std::int64_t>(
            100, percent_of(offset + static_cast<std::int64_t>(kReserveBlock), size))));
    }
    // Only the blocks actually copied are marked held: after a Cancel the
    // rest is still read from the input, so files saved later are not zeros.
    status_.SendProgress(0);
}

void Input::ResetInputCaches() {
    std::lock_guard guard(lock_);
    reset_caches_locked();
}

bool Input::has_cache() const {
    std::lock_guard guard(lock_);
    return cache_ != nullptr;
}

void Input::reset_caches_locked() {
    cache_.reset();  // closing the descriptor deletes the file
    window_start_ = -1;
    window_length_ = 0;
    read_errors_.store(0, std::memory_order_relaxed);
    bad_sectors_.clear();
}

void Input::drop_cache_locked() {
    // An I/O error on the cache file turns caching off for this input; what
    // is known about the card itself (bad sectors, error count) is kept.
    cache_.reset();
}

}  // namespace lk
