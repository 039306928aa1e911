// Shared, immutable payloads with copy on write.
//
// A `Value` is observably a tree that owns its payload, but copying a long
// conversation history on every reference would make each event cost as much
// as the whole state. Payloads are therefore shared between copies and
// duplicated only when a holder that is not the sole owner writes to them.
// Everything runs on one thread, so the count is a plain integer.
#pragma once

#include <cstddef>
#include <utility>

namespace vostrel::kernel {

template <class T>
struct RcBox {
  std::size_t count = 1;
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
  ++box->count;
}

// Returns true when the caller held the last reference; the box is then
// still alive and the caller must dispose of it (see Value's destructor,
// which takes the children out first so that deep trees do not recurse).
template <class T>
bool rc_release_is_last(RcBox<T>* box) noexcept {
  return --box->count == 0;
}

// Makes `box` uniquely owned, duplicating its payload when it is shared.
template <class T>
T& rc_make_mut(RcBox<T>*& box) {
  if (box->count != 1) {
    RcBox<T>* fresh = new RcBox<T>(box->value);
    --box->count;
    box = fresh;
  }
  return box->value;
}

}  // namespace vostrel::kernel
