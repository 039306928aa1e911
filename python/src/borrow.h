// The per-object borrow flag of the mutable classes and its RAII guard.
//
// Calls never wait for each other: a call that conflicts with one still
// using the object (any call during a mutating one, a mutating call during
// any other) is refused with RuntimeError. No member runs Python code while
// it holds the flag, so today a conflict can only come from C++; the flag
// still keeps the object sound if that ever changes.
#pragma once

#include <atomic>
#include <cstdint>

#include "py.h"

namespace vostrel::py {

enum class Access { Shared, Exclusive };

class BorrowFlag {
 public:
  BorrowFlag() = default;
  // A record moved into a new object starts with a free flag of its own.
  BorrowFlag(const BorrowFlag&) noexcept {}
  BorrowFlag& operator=(const BorrowFlag&) = delete;

  bool try_acquire(Access access) noexcept {
    if (access == Access::Exclusive) {
      std::int64_t expected = 0;
      return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
    }
    std::int64_t seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen == kExclusive) return false;
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire));
    return true;
  }

  void release(Access access) noexcept {
    if (access == Access::Exclusive) {
      state_.store(0, std::memory_order_release);
    } else {
      state_.fetch_sub(1, std::memory_order_release);
    }
  }

 private:
  // 0: free; n > 0: n readers; kExclusive: one writer.
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> state_{0};
};

// Holds a borrow for the rest of the scope; when refused it sets the
// RuntimeError and tests false.
class Borrow {
 public:
  Borrow(BorrowFlag& flag, Access access) noexcept
      : flag_(flag), access_(access), held_(flag.try_acquire(access)) {
    if (!held_) {
      PyErr_SetString(PyExc_RuntimeError, access == Access::Exclusive
                                              ? "Already borrowed"
                                              : "Already mutably borrowed");
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (held_) flag_.release(access_);
  }
  explicit operator bool() const noexcept { return held_; }

 private:
  BorrowFlag& flag_;
  Access access_;
  bool held_;
};

}  // namespace vostrel::py
