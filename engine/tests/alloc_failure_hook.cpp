// The replacement of the global allocation functions behind
// alloc_failure_hook.h. Disarmed, it is malloc and free.
#include "alloc_failure_hook.h"

#include <cstdlib>
#include <new>

namespace vostrel::test::alloc {
namespace {

// 0 when disarmed; single-threaded like the tests that arm it.
std::size_t fail_at = 0;
std::size_t count = 0;

void* allocate(std::size_t size) {
  if (fail_at != 0 && ++count >= fail_at) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void fail_from(std::size_t n) noexcept {
  count = 0;
  fail_at = n;
}

void disarm() noexcept { fail_at = 0; }

std::size_t requested() noexcept { return count; }

}  // namespace vostrel::test::alloc

void* operator new(std::size_t size) { return vostrel::test::alloc::allocate(size); }
void* operator new[](std::size_t size) { return vostrel::test::alloc::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return vostrel::test::alloc::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return ::operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
