// Shared checks for the coordinator suites: its invariants, and refusals
// that must leave the whole coordinator untouched.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "engine/kernel/coordinator.h"

namespace vostrel::kernel::testing {

// Empty when the invariants hold, else the first one broken.
inline std::string invariant_violation(const Coordinator& c) {
  for (const DelegationEdge& e : c.delegations()) {
    const CoordinatedSession* p = c.session(e.parent);
    if (p == nullptr) return "edge parent not a session: " + e.parent;
    if (c.session(e.child) == nullptr) return "edge child not a session: " + e.child;
    if (!p->waiting_on.contains(e.child)) return "edge not mirrored: " + e.parent + "/" + e.child;
  }
  for (const auto& [id, s] : c.sessions()) {
    for (const std::string& child : s.waiting_on) {
      if (!c.delegations().contains(DelegationEdge{id, child})) {
        return "waiting without edge: " + id + "/" + child;
      }
    }
    if (!s.waiting_on.empty() && s.status != SessionStatus::WaitingDelegate) {
      return "waits but is not WaitingDelegate: " + id;
    }
  }
  for (const Route& r : c.routes()) {
    if (c.session(r.src) == nullptr || c.session(r.dst) == nullptr) {
      return "route end not a session: " + r.src + "->" + r.dst;
    }
  }
  return {};
}

// Runs `op` on `c`, which must refuse with exactly `text` and change nothing.
template <class Op>
void expect_refused(Coordinator& c, Op op, const std::string& text) {
  const Coordinator before = c;
  auto result = op(c);
  ASSERT_FALSE(result.has_value()) << "expected refusal: " << text;
  EXPECT_EQ(result.error().display(), text);
  EXPECT_TRUE(c == before) << "refused call changed the coordinator: " << text;
}

}  // namespace vostrel::kernel::testing
