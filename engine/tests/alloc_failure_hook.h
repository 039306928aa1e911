// A test-only switch on the global allocator of the test binary: while it is
// armed, the n-th allocation from arming on and every one after it throw
// std::bad_alloc, so that code under test meets a memory that has run out
// in the middle of an operation and stays out while it unwinds.
#pragma once

#include <cstddef>

namespace vostrel::test::alloc {

// Arms the switch: allocation number `n` (from 1) and all later ones fail.
void fail_from(std::size_t n) noexcept;
// Lets every allocation succeed again.
void disarm() noexcept;
// Allocations requested since the switch was last armed, failed ones included.
std::size_t requested() noexcept;

// Arms the switch for the life of the object.
class FailFrom {
 public:
  explicit FailFrom(std::size_t n) noexcept { fail_from(n); }
  FailFrom(const FailFrom&) = delete;
  FailFrom& operator=(const FailFrom&) = delete;
  ~FailFrom() { disarm(); }
};

}  // namespace vostrel::test::alloc
