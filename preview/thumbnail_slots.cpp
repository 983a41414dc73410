#include "preview/thumbnail_slots.hpp"

#include <algorithm>

namespace lk {

ThumbnailSlots::ThumbnailSlots(int capacity, int first_slot)
    : capacity_(capacity), first_(first_slot), next_(first_slot) {}

int ThumbnailSlots::Acquire(std::vector<int>& recycled) {
    if (!full_ && next_ - first_ < capacity_) {
        const int slot = next_++;
        Touch(slot);
        return slot;
    }
    full_ = true;
    if (reuse_.empty()) {
        for (int i = 0; i < kRecycleBatch && !order_.empty(); ++i) {
            const int slot = order_.front();
            order_.pop_front();
            where_.erase(slot);
            reuse_.push_back(slot);
            recycled.push_back(slot);
        }
    }
    if (reuse_.empty()) return -1;
    const int slot = reuse_.back();  // the last one pushed
    reuse_.pop_back();
    Touch(slot);
    return slot;
}

void ThumbnailSlots::Touch(int slot) {
    // The built-in images are never recycled; a slot waiting for reuse
    // shows nothing any more.
    if (slot < first_ || slot >= next_) return;
    if (std::find(reuse_.begin(), reuse_.end(), slot) != reuse_.end()) return;
    if (auto it = where_.find(slot); it != where_.end()) order_.erase(it->second);
    where_[slot] = order_.insert(order_.end(), slot);
}

void ThumbnailSlots::Clear() {
    next_ = first_;
    full_ = false;
    order_.clear();
    where_.clear();
    reuse_.clear();
}

}  // namespace lk
