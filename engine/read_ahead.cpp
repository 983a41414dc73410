#include "engine/read_ahead.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/common.hpp"

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

bool ReadAhead::has_room() {
    std::lock_guard guard(lock_);
    // One slot holds the run taken last.
    return started_ - taken_ + 1 < kSlots;
}

void ReadAhead::start(std::int64_t first, std::int64_t count) {
    const std::uint32_t cs = e_.geo.cluster_size;
    std::lock_guard guard(lock_);
    Slot& s = slots_[started_ % kSlots];
    s.first = first;
    s.count = count;
    s.offset = cluster_offset(e_.geo, first);
    s.size = static_cast<std::size_t>(count) * cs;
    // A run from the last cluster on reads as zeros, as read_cluster has it.
    s.length = first < e_.geo.max_cluster ? s.size : 0;
    if (s.buffer.size() < s.size) s.buffer.resize(s.size);
    std::memset(s.buffer.data() + s.length, 0, s.size - s.length);
    s.failure = nullptr;
    ++started_;
    changed_.notify_all();
}

ReadAhead::Run ReadAhead::take() {
    std::unique_lock guard(lock_);
    if (taken_ == started_) return {};
    changed_.wait(guard, [this] { return read_ > taken_; });
    Slot& s = slots_[taken_++ % kSlots];
    // A run whose read failed has no looks to wait for (they are the last
    // run's, which this slot held before).
    if (s.failure) std::rethrow_exception(std::exchange(s.failure, nullptr));
    // The thread takes no more of its clusters; those it took are waited for.
    const std::size_t ahead = std::min(s.next.exchange(kTaken), s.looks.clusters());
    changed_.wait(guard, [&] { return s.looked.load() == ahead; });
    if (s.failure) std::rethrow_exception(std::exchange(s.failure, nullptr));
    guard.unlock();
    if (s.length > 0) e_.status.SendStatus(ST_SECTOR, static_cast<std::uint64_t>(s.offset / 512));
    e_.input.flush_reports();
    return {s.first, s.count, Bytes(s.buffer.data(), s.size), &s.looks, ahead};
}

ReadAhead::Slot* ReadAhead::lookable() {
    for (std::uint64_t j = taken_; j < read_; ++j) {
        Slot& s = slots_[j % kSlots];
        if (!s.failure && s.next.load() < s.looks.clusters()) return &s;
    }
    return nullptr;
}

void ReadAhead::run() {
    std::unique_lock guard(lock_);
    for (;;) {
        Slot* look = nullptr;
        changed_.wait(guard, [&] { return quit_ || read_ < started_ || (look = lookable()) != nullptr; });
        if (quit_) return;
        // Reading comes first: it is what the thread is for.
        const bool reading = read_ < started_;
        Slot& s = reading ? slots_[read_ % kSlots] : *look;
        guard.unlock();
        std::exception_ptr failure;
        std::size_t from = 0, to = 0;  // the clusters looked at
        if (!reading) {
            from = std::min(s.next.fetch_add(kLookClusters), s.looks.clusters());
            to = std::min(s.looks.clusters(), from + kLookClusters);
        }
        try {
            if (reading) {
                if (s.length > 0)
                    e_.input.read_input_ahead(e_.opt.sector_range, s.offset, s.buffer.data(), s.length, true);
                s.looks.prepare(Bytes(s.buffer.data(), s.size), e_.geo.cluster_size, e_.signatures);
                s.next = 0;
                s.looked = 0;
            } else {
                const std::uint32_t cs = e_.geo.cluster_size;
                for (std::size_t i = from; i < to; ++i) {
                    if (i + 1 < s.looks.clusters()) prefetch_cluster(s.buffer.data() + (i + 1) * cs, cs);
                    s.looks.look_at(i, pdf_thread_);
                }
            }
        } catch (...) {
            failure = std::current_exception();  // handed to the engine's thread
        }
        guard.lock();
        if (failure) s.failure = failure;
        if (reading) ++read_;
        s.looked += to - from;  // also when they failed: the engine waits for the count
        changed_.notify_all();
    }
}

}  // namespace lk
