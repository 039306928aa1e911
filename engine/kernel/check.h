// Checks of the engine's own invariants, compiled into debug and sanitizer
// builds only: a failed one is a fault of the engine, never of its input,
// and stops the process with the broken rule named.
#pragma once

#include <cstdio>
#include <cstdlib>

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOSTREL_CHECKS 1
#else
#define VOSTREL_CHECKS 0
#endif

namespace vostrel::kernel {

[[noreturn]] inline void invariant_broken(const char* rule, const char* file, int line) noexcept {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, rule);
  std::abort();
}

}  // namespace vostrel::kernel

// `cond` must hold; `rule` says what it promises.
#if VOSTREL_CHECKS
#define VOSTREL_CHECK(cond, rule) \
  ((cond) ? void(0) : ::vostrel::kernel::invariant_broken(rule, __FILE__, __LINE__))
#else
#define VOSTREL_CHECK(cond, rule) void(0)
#endif
