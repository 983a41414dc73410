// Reading the input: the read-ahead window, the block read with its
// read-error policy, and the chunk read that talks to the platform.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input/cache.hpp"
#include "input/card_image.hpp"
#include "input/input.hpp"

namespace lk {

namespace {

constexpr std::int64_t kSector = Input::kSectorSize;

std::int64_t round_up_sector(std::int64_t n) {
    return (n + kSector - 1) / kSector * kSector;
}

}  // namespace

std::int64_t Input::ReadAt(std::int64_t offset, void* buffer, std::size_t length) {
    std::int64_t result;
    {
        std::lock_guard guard(lock_);
        result = read_at_locked(offset, static_cast<std::uint8_t*>(buffer), length);
    }
    flush_reports();
    return result;
}

std::int64_t Input::read_at_locked(std::int64_t offset, std::uint8_t* dest, std::size_t length) {
    if (offset < 0) {
        std::memset(dest, 0, length);
        return -1;
    }
    if (cache_) {
        const bool served = cache_->ReadThroughCache(
            dest, offset, length, [this](std::int64_t at, std::uint8_t* buf, std::size_t count) {
                return block_read_locked(at, buf, count);
            });
        if (cache_->failed()) drop_cache_locked();
        if (served) return static_cast<std::int64_t>(length);
    }
    // Every byte of the destination is either copied from the window or
    // zeroed when the read stops early.
    std::size_t pos = 0;
    auto stop = [&](std::int64_t result) {
        std::memset(dest + pos, 0, length - pos);
        return result;
    };
    while (pos < length) {
        const std::int64_t at = offset + static_cast<std::int64_t>(pos);
        // A request that still wants a whole window's worth from a sector
        // boundary is read block by block straight into the destination: the
        // same block reads as window refills would make, without the copy.
        const bool in_window = window_start_ >= 0 && at >= window_start_ &&
                               at < window_start_ + static_cast<std::int64_t>(window_length_);
        if (!in_window && at % kSector == 0 && length - pos >= kWindowSize &&
            input_size - at >= static_cast<std::int64_t>(kWindowSize)) {
            // Several windows' worth go to the device as one request; only a
            // piece that does not come back whole is read window by window,
            // under the read-error policy.
            const std::size_t large = std::min<std::size_t>(
                {length - pos, kLargeRead, static_cast<std::size_t>(std::min<std::int64_t>(
                                               input_size - at, static_cast<std::int64_t>(kLargeRead)))});
            const std::size_t piece = large / kWindowSize * kWindowSize;
            if (fast_read && piece > kWindowSize && !has_bad_sector_locked(at, piece)) {
                int error = 0;
                if (chunk_read(at, dest + pos, piece, error) == static_cast<std::int64_t>(piece)) {
                    pos += piece;
                    continue;
                }
            }
            std::size_t extent = 0;
            const std::int64_t r = block_read_locked(at, dest + pos, kWindowSize, &extent);
            if (extent == 0) return stop(r < 0 ? r : 0);
            pos += extent;
            if (extent < kWindowSize) return stop(0);  // the input ends inside this block
            continue;
        }
        if (window_start_ >= 0 && at >= window_start_ &&
            at < window_start_ + static_cast<std::int64_t>(window_length_)) {
            const auto avail = static_cast<std::size_t>(window_start_ + window_length_ - at);
            const std::size_t n = std::min(length - pos, avail);
            std::memcpy(dest + pos, window_.data() + (at - window_start_), n);
            pos += n;
            continue;
        }
        if (input_size - at <= 0) return stop(0);
        // The window starts on the sector that holds the requested byte, so
        // that a failing sector is recorded under its own number.
        const std::int64_t start = at / kSector * kSector;
        const std::int64_t left = input_size - start;
        const auto count = static_cast<std::size_t>(
            left >= static_cast<std::int64_t>(kWindowSize) ? kWindowSize : round_up_sector(left));
        window_start_ = -1;
        window_length_ = 0;
        // The window spans what the block read settled: bytes read and the
        // fill of unreadable sectors, which a read never fails on.
        std::size_t extent = 0;
        const std::int64_t r = block_read_locked(start, window_.data(), count, &extent);
        if (extent == 0) return stop(r < 0 ? r : 0);
        window_start_ = start;
        window_length_ = extent;
        // Nothing was settled as far as the requested byte: the input ends
        // before it.
        if (at >= window_start_ + static_cast<std::int64_t>(window_length_)) return stop(0);
    }
    return static_cast<std::int64_t>(length);
}

std::int64_t Input::block_read(std::int64_t offset, void* buffer, std::size_t count) {
    std::int64_t result;
    {
        std::lock_guard guard(lock_);
        result = block_read_locked(offset, static_cast<std::uint8_t*>(buffer), count);
    }
    flush_reports();
    return result;
}

std::int64_t Input::block_read_locked(std::int64_t offset, std::uint8_t* buffer, std::size_t count,
                                      std::size_t* extent) {
    if (count % kSectorSize != 0) status_.Fatal("internal error in _wio_read");
    std::size_t done = 0;  // bytes of the buffer whose content is settled
    struct Extent {
        std::size_t* out;
        std::size_t& done;
        ~Extent() {
            if (out) *out = done;
        }
    } set_extent{extent, done};

    // A block with a known bad sector goes sector by sector straight away:
    // a whole-block read would run into that sector (and its time-out) again.
    if (fast_read && !has_bad_sector_locked(offset, count)) {
        int error = 0;
        const std::int64_t r = chunk_read(offset, buffer, count, error);
        if (r == static_cast<std::int64_t>(count)) {
            done = count;
            return r;
        }
        if (r == -2) return r;
        if (r == 0 && error == 0) {
            std::memset(buffer, 0, count);
            return 0;  // the end of the input
        }
        // A time-out (Windows' "semaphore time-out") makes every further
        // read of the device slow: report it and keep what arrived.
        if (error == ETIMEDOUT) {
            read_error_locked(offset, r, error);
            done = r > 0 ? static_cast<std::size_t>(r) : 0;
            return r;
        }
    }
    // Sector by sector, so that one bad sector costs only its own 512 bytes.
    std::memset(buffer, 0, count);
    std::int64_t result = 0;
    int failures = 0;
    const std::size_t sectors = count / kSectorSize;
    for (std::size_t s = 0; s < sectors; ++s) {
        const std::int64_t at = offset + static_cast<std::int64_t>(s * kSectorSize);
        const std::int64_t sector = at / kSector;
        // A known bad sector is neither read nor reported again: it stays zero.
        if (bad_sectors_.count(sector)) {
            done = (s + 1) * kSectorSize;
            continue;
        }
        int error = 0;
        const std::int64_t r = chunk_read(at, buffer + s * kSectorSize, kSectorSize, error);
        if (r > 0) result += r;
        if (r == kSector) {
            done = (s + 1) * kSectorSize;
            continue;
        }
        // Past the device's end nothing can be read: that is the end of the
        // input, not a bad sector.
        if (r == -2) {
            if (s == 0) return -2;
            break;
        }
        if (r >= 0 && error == 0) {  // a short read without an error: the end
            done = s * kSectorSize + static_cast<std::size_t>(r);
            // Nothing lies beyond the end: zeros, not the unread fill.
            std::memset(buffer + done, 0, kSectorSize - static_cast<std::size_t>(r));
            break;
        }
        bad_sectors_.insert(sector);
        read_error_locked(at, r, error);
        done = (s + 1) * kSectorSize;
        if (++failures == kMaxBlockFailures) {
            // A block this damaged is given up: its remaining sectors would
            // each cost a device time-out.
            for (std::size_t rest = s + 1; rest < sectors; ++rest)
                bad_sectors_.insert(sector + static_cast<std::int64_t>(rest - s));
            done = count;
            break;
        }
        if (status_.IsCancelled()) break;
    }
    return result;
}

bool Input::has_bad_sector_locked(std::int64_t offset, std::size_t count) const {
    const std::int64_t first = offset / kSector;
    const auto known_bad = bad_sectors_.lower_bound(first);
    return known_bad != bad_sectors_.end() && *known_bad < first + static_cast<std::int64_t>(count / kSectorSize);
}

std::int64_t Input::chunk_read(std::int64_t offset, std::uint8_t* buffer, std::size_t count,
                               int& error) {
    error = 0;
    if (device_size > 0) {
        if (offset >= device_size) {
            std::memset(buffer, 0, count);
            return -2;
        }
        if (offset + static_cast<std::int64_t>(count) > device_size) {
            std::memset(buffer, 0, count);
            count = static_cast<std::size_t>((device_size - offset) / kSector * kSector);
            if (count == 0) return -2;
        }
    }
    if (!quiet_) status_.SendStatus(ST_SECTOR, static_cast<std::uint64_t>(offset / kSector));
    if (!backend_) {
        std::memset(buffer, 0xFF, count);
        error = EBADF;
        return -1;
    }
    std::int64_t at = offset;
    std::size_t want = count;
    if (card_image_) {
        at += static_cast<std::int64_t>(kCibSize);
        // The trailer and anything after it are not card bytes.
        if (image_card_end_ >= 0)
            want = offset >= image_card_end_
                       ? 0
                       : static_cast<std::size_t>(std::min<std::int64_t>(
                             static_cast<std::int64_t>(count), image_card_end_ - offset));
    }
    const std::int64_t r = want > 0 ? backend_->read(at, buffer, want, error) : 0;
    // The platform read pre-fills its buffer with 0xFF: whatever it did not
    // deliver keeps that fill, so a failing sector reads as 0xFF once.
    const std::size_t got = r > 0 ? static_cast<std::size_t>(r) : 0;
    std::memset(buffer + got, 0xFF, count - got);
    return r;
}

void Input::read_error_locked(std::int64_t offset, std::int64_t result, int error) {
    pending_reports_.push_back({offset, result, error});
    reports_waiting_.store(true, std::memory_order_release);
    read_errors_.fetch_add(1, std::memory_order_relaxed);
}

void Input::flush_reports() {
    // Asked after every run the sequential read takes, while the reading
    // thread holds the lock for the next run's read: the lock is taken only
    // when there is something to send.
    if (!reports_waiting_.load(std::memory_order_acquire)) return;
    std::vector<ReadErrorReport> reports;
    {
        std::lock_guard guard(lock_);
        reports_waiting_.store(false, std::memory_order_relaxed);
        if (pending_reports_.empty()) return;
        reports.swap(pending_reports_);
    }
    for (const auto& r : reports)
        status_.StatusText("READ ERROR AT %Lu, READ %d: %hs", static_cast<std::uint64_t>(r.offset),
                           r.result, InputErrorText(r.error));
}

std::int64_t Input::read_input(const SectorRange& range, std::int64_t offset, void* buffer,
                               std::size_t length, bool honour_range) {
    if (range.RangeContains(honour_range, offset, static_cast<std::int64_t>(length))) {
        if (!buffer) return static_cast<std::int64_t>(length);  // a probe
        status_.SendStatus(ST_SECTOR, static_cast<std::uint64_t>(offset / kSector));
        return ReadAt(offset, buffer, length);
    }
    if (!buffer) return -2;
    std::memset(buffer, 0, length);
    return 0;
}

std::int64_t Input::read_input_ahead(const SectorRange& range, std::int64_t offset, void* buffer,
                                     std::size_t length, bool honour_range) {
    if (!range.RangeContains(honour_range, offset, static_cast<std::int64_t>(length))) {
        std::memset(buffer, 0, length);
        return 0;
    }
    std::unique_lock guard(lock_);
    // A read that needs nothing of the input's own state is made without the
    // lock where the platform allows it, so that two threads can copy at
    // once; one that does not come back whole is made again below, under the
    // lock and the read-error policy.
    if (ReadBackend* backend = unlocked_backend_locked(offset, length)) {
        const std::int64_t at = offset + (card_image_ ? static_cast<std::int64_t>(kCibSize) : 0);
        guard.unlock();
        int error = 0;
        if (backend->read(at, buffer, length, error) == static_cast<std::int64_t>(length))
            return static_cast<std::int64_t>(length);
        guard.lock();
    }
    quiet_ = true;
    const std::int64_t result = read_at_locked(offset, static_cast<std::uint8_t*>(buffer), length);
    quiet_ = false;
    return result;
}

ReadBackend* Input::unlocked_backend_locked(std::int64_t offset, std::size_t length) const {
    const std::int64_t end = offset + static_cast<std::int64_t>(length);
    const bool plain = backend_ && backend_->concurrent_reads() && !cache_ && fast_read && length > 0 &&
                       offset >= 0 && offset % kSector == 0 && length % kSectorSize == 0 && end <= input_size &&
                       (device_size <= 0 || end <= device_size) &&
                       (!card_image_ || image_card_end_ < 0 || end <= image_card_end_) &&
                       !has_bad_sector_locked(offset, length);
    return plain ? backend_.get() : nullptr;
}

bool Input::IsBadSector(std::int64_t offset) const {
    if (offset < 0) return false;
    std::lock_guard guard(lock_);
    return bad_sectors_.count(offset / kSector) != 0;
}

std::uint64_t Input::bad_bytes(std::int64_t offset, std::uint64_t length) const {
    if (offset < 0 || length == 0) return 0;
    const std::int64_t end = offset + static_cast<std::int64_t>(length);
    std::lock_guard guard(lock_);
    std::uint64_t bytes = 0;
    for (auto it = bad_sectors_.lower_bound(offset / kSector);
         it != bad_sectors_.end() && *it * static_cast<std::int64_t>(kSector) < end; ++it) {
        const std::int64_t from = std::max(offset, *it * static_cast<std::int64_t>(kSector));
        const std::int64_t to = std::min(end, (*it + 1) * static_cast<std::int64_t>(kSector));
        bytes += static_cast<std::uint64_t>(to - from);
    }
    return bytes;
}

std::uint32_t Input::read_errors() const {
    return read_errors_.load(std::memory_order_relaxed);
}

void Input::reset_read_errors() {
    read_errors_.store(0, std::memory_order_relaxed);
}

}  // namespace lk
