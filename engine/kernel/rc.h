// Shared, immutable payloads with copy on write.
//
// A `Value` is observably a tree that owns its payload, but copying a long
// conversation history on every reference would make each event cost as much
// as the whole state. Payloads are therefore shared between copies and
// duplicated only when a holder that is not the sole owner writes to them.
//
// One payload may be shared by values on different threads: a literal or a
// slot of a definition list read by several evaluations at once hands out
// copies of the same payload. The count is therefore atomic, with the usual
// orders of a shared owner: an increment needs no ordering (the new holder
// already reaches the payload through an existing reference), and the
// decrement that reaches zero acquires every other holder's releases, so
// that their reads of the payload happen before it is dismantled.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace vostrel::kernel {

template <class T>
struct RcBox {
  std::atomic<std::size_t> count{1};
  T value;

  template <class... Args>
  explicit RcBox(Args&&... args) : value(std::forward<Args>(args)...) {}
};

template <class T>
RcBox<T>* rc_new(T value) {
  return new RcBox<T>(std::move(value));
}

template <class T>
void rc_retain(RcBox<T>* box) noexcept {
  box->count.fetch_add(1, std::memory_order_relaxed);
}

// Returns true when the caller held the last reference; the box is then
// still alive and the caller must dispose of it (see Value's destructor,
// which takes the children out first so that deep trees do not recurse).
template <class T>
bool rc_release_is_last(RcBox<T>* box) noexcept {
  return box->count.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

// Makes `box` uniquely owned, duplicating its payload when it is shared.
// A count of one seen with acquire order means no other holder is left to
// read the payload, so it may be written in place.
template <class T>
T& rc_make_mut(RcBox<T>*& box) {
  if (box->count.load(std::memory_order_acquire) != 1) {
    RcBox<T>* fresh = new RcBox<T>(box->value);
    if (rc_release_is_last(box)) {
      // Every other holder let go while the payload was copied: the
      // original is ours alone after all, so keep it and drop the copy
      // (whose children are all still held by the original).
      box->count.store(1, std::memory_order_relaxed);
      delete fresh;
    } else {
      box = fresh;
    }
  }
  return box->value;
}

}  // namespace vostrel::kernel
