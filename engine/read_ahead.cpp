#include "engine/read_ahead.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/common.hpp"

namespace lk {

ReadAhead::ReadAhead(Engine& e, std::size_t piece_bytes)
    : e_(e), piece_bytes_(std::max<std::size_t>(piece_bytes / 512 * 512, 512)), thread_([this] { run(); }) {}

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
    s.pieces = std::max<std::size_t>(1, (s.length + piece_bytes_ - 1) / piece_bytes_);
    s.claimed = s.done = 0;
    s.ready = false;
    ++started_;
    changed_.notify_all();
}

ReadAhead::Run ReadAhead::take() {
    std::unique_lock guard(lock_);
    if (taken_ == started_) return {};
    Slot& s = slots_[taken_ % kSlots];
    while (!s.ready) {
        // Rather than wait for the thread, read a piece of the run.
        if (claiming_ == taken_) {
            const auto [slot, piece] = claim_piece();
            read_piece(guard, *slot, piece);
        } else {
            changed_.wait(guard);
        }
    }
    ++taken_;
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

std::pair<ReadAhead::Slot*, std::size_t> ReadAhead::claim_piece() {
    Slot& s = slots_[claiming_ % kSlots];
    const std::size_t piece = s.claimed++;
    if (s.claimed == s.pieces) ++claiming_;
    return {&s, piece};
}

void ReadAhead::read_piece(std::unique_lock<std::mutex>& guard, Slot& s, std::size_t piece) {
    guard.unlock();
    std::exception_ptr failure;
    try {
        const std::size_t from = piece * piece_bytes_, to = std::min(s.length, from + piece_bytes_);
        // A piece that cannot be read is zeros (the input zeroes it), as
        // the cluster read of the engine's thread leaves it.
        if (to > from &&
            e_.input.read_input_ahead(e_.opt.sector_range, s.offset + static_cast<std::int64_t>(from),
                                      s.buffer.data() + from, to - from, true) < 0)
            std::memset(s.buffer.data() + from, 0, to - from);
    } catch (...) {
        failure = std::current_exception();  // handed to the engine's thread
    }
    guard.lock();
    if (failure && !s.failure) s.failure = failure;
    if (++s.done < s.pieces) return;
    // The last piece: the run's looks are made ready (nobody else touches
    // them before it is).
    guard.unlock();
    try {
        s.looks.prepare(Bytes(s.buffer.data(), s.size), e_.geo.cluster_size, e_.signatures);
    } catch (...) {
        failure = std::current_exception();
    }
    guard.lock();
    if (failure && !s.failure) s.failure = failure;
    s.next = 0;
    s.looked = 0;
    s.ready = true;
    changed_.notify_all();
}

ReadAhead::Slot* ReadAhead::lookable() {
    for (std::uint64_t j = taken_; j < started_; ++j) {
        Slot& s = slots_[j % kSlots];
        if (s.ready && !s.failure && s.next.load() < s.looks.clusters()) return &s;
    }
    return nullptr;
}

void ReadAhead::run() {
    std::unique_lock guard(lock_);
    for (;;) {
        Slot* look = nullptr;
        changed_.wait(guard, [&] { return quit_ || claiming_ < started_ || (look = lookable()) != nullptr; });
        if (quit_) return;
        // Reading comes first: it is what the thread is for.
        if (claiming_ < started_) {
            const auto [slot, piece] = claim_piece();
            read_piece(guard, *slot, piece);
            continue;
        }
        Slot& s = *look;
        guard.unlock();
        std::exception_ptr failure;
        const std::size_t from = std::min(s.next.fetch_add(kLookClusters), s.looks.clusters());
        const std::size_t to = std::min(s.looks.clusters(), from + kLookClusters);
        try {
            const std::uint32_t cs = e_.geo.cluster_size;
            for (std::size_t i = from; i < to; ++i) {
                if (i + 1 < s.looks.clusters()) prefetch_cluster(s.buffer.data() + (i + 1) * cs, cs);
                s.looks.look_at(i, pdf_thread_);
            }
        } catch (...) {
            failure = std::current_exception();  // handed to the engine's thread
        }
        guard.lock();
        if (failure) s.failure = failure;
        s.looked += to - from;  // also when they failed: the engine waits for the count
        changed_.notify_all();
    }
}

}  // namespace lk
