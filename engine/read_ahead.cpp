#include "engine/read_ahead.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/common.hpp"
#include "input/platform.hpp"

namespace lk {

ReadAhead::ReadAhead(Engine& e) : e_(e), thread_([this] { run(); }) {}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard guard(lock_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ReadAhead::start(std::int64_t first, std::int64_t count) {
    const std::uint32_t cs = e_.geo.cluster_size;
    std::lock_guard guard(lock_);
    reading_ ^= 1;
    offset_ = cluster_offset(e_.geo, first);
    size_ = static_cast<std::size_t>(count) * cs;
    // A run from the last cluster on reads as zeros, as read_cluster has it.
    length_ = first < e_.geo.max_cluster ? size_ : 0;
    mapped_[reading_] = length_ == size_ ? e_.input.mapped(e_.opt.sector_range, offset_, size_, true)
                                         : nullptr;
    if (!mapped_[reading_]) {
        if (buffers_[reading_].size() < size_) buffers_[reading_].resize(size_);
        std::memset(buffers_[reading_].data() + length_, 0, size_ - length_);
    }
    wanted_ = true;
    readable_ = false;
    ready_ = false;
    changed_.notify_all();
}

void ReadAhead::look(int reading, HeaderLooks::PdfScratch& pdf) {
    constexpr std::size_t kClusters = 16;
    HeaderLooks& looks = looks_[reading];
    const std::size_t n = looks.clusters();
    for (std::size_t first; (first = next_.fetch_add(kClusters)) < n;) {
        const std::size_t end = std::min(n, first + kClusters);
        for (std::size_t i = first; i < end; ++i) looks.look_at(i, pdf);
        if (looked_.fetch_add(end - first) + (end - first) == n) {
            std::lock_guard guard(lock_);
            ready_ = true;
            changed_.notify_all();
        }
    }
}

ReadAhead::Run ReadAhead::take() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return ready_ || readable_; });
    if (!ready_) {
        guard.unlock();
        look(reading_, pdf_[1]);
        guard.lock();
        changed_.wait(guard, [this] { return ready_; });
    }
    ready_ = readable_ = false;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    const std::int64_t offset = offset_;
    const std::size_t length = length_;
    guard.unlock();
    if (length > 0) e_.status.SendStatus(ST_SECTOR, static_cast<std::uint64_t>(offset / 512));
    e_.input.flush_reports();
    const std::uint8_t* bytes = mapped_[reading_] ? mapped_[reading_] : buffers_[reading_].data();
    return {Bytes(bytes, size_), looks_[reading_]};
}

void ReadAhead::run() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return quit_ || wanted_; });
        if (quit_) return;
        wanted_ = false;
        const int reading = reading_;
        const std::int64_t offset = offset_;
        const std::size_t length = length_, size = size_;
        const std::uint8_t* mapped = mapped_[reading];
        guard.unlock();
        std::exception_ptr failure;
        try {
            std::uint8_t* buffer = buffers_[reading].data();
            if (mapped)
                PrefaultMapped(mapped, size);
            else if (length > 0)
                e_.input.read_input_ahead(e_.opt.sector_range, offset, buffer, length, true);
            looks_[reading].prepare(Bytes(mapped ? mapped : buffer, size), e_.geo.cluster_size, e_.signatures);
        } catch (...) {
            failure = std::current_exception();  // handed to the engine's thread
        }
        guard.lock();
        failure_ = failure;
        if (failure || looks_[reading].clusters() == 0) {
            ready_ = true;
        } else {
            next_ = 0;
            looked_ = 0;
            readable_ = true;
        }
        changed_.notify_all();
        // A run that was read leaves its headers to the engine's thread: this
        // one is busy with the next read then, which is what it is for.
        if (!ready_ && mapped) {
            guard.unlock();
            look(reading, pdf_[0]);
            guard.lock();
        }
    }
}

}  // namespace lk
