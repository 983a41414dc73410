#include "engine/read_ahead.hpp"

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
    ready_ = false;
    changed_.notify_all();
}

ReadAhead::Run ReadAhead::take() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return ready_; });
    ready_ = false;
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
            looks_[reading].look(Bytes(mapped ? mapped : buffer, size), e_.geo.cluster_size, e_.signatures);
        } catch (...) {
            failure = std::current_exception();  // handed to the engine's thread
        }
        guard.lock();
        failure_ = failure;
        ready_ = true;
        changed_.notify_all();
    }
}

}  // namespace lk
