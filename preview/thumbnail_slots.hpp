// The slots of the thumbnail image list above its built-in images: the
// order of their last use and the stack of slots free for reuse. Once the
// list holds as many thumbnails as it may, slots are recycled 16 at a time,
// least recently used first.
#pragma once

#include <list>
#include <unordered_map>
#include <vector>

namespace lk {

class ThumbnailSlots {
  public:
    static constexpr int kRecycleBatch = 16;

    // capacity: the thumbnails the list may hold besides the built-in
    // images; first_slot: the index of the first of them.
    ThumbnailSlots(int capacity, int first_slot);

    // A slot for a new thumbnail, marked as used now: a new one while the
    // list may grow, else the top of the reuse stack. An empty stack is
    // refilled first with the kRecycleBatch least recently used slots,
    // which are appended to `recycled`: whatever shows them must lose its
    // image. -1 when there is no slot at all (a capacity of 0).
    int Acquire(std::vector<int>& recycled);
    // The slot's image has just been shown or made.
    void Touch(int slot);
    // Back to an empty list (the views were reset).
    void Clear();

    bool full() const { return full_; }
    // Slots handed out so far (the list's images beyond the built-in ones).
    int used() const { return next_ - first_; }

  private:
    int capacity_;
    int first_;
    int next_;
    bool full_ = false;
    std::list<int> order_;  // least recently used first
    std::unordered_map<int, std::list<int>::iterator> where_;
    std::vector<int> reuse_;
};

}  // namespace lk
