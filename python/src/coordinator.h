// Class Coordinator's record, and the dict forms of a coordinator's state
// that NetworkSession shows for the coordinator inside its network.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>

#include "borrow.h"
#include "engine/kernel/coordinator.h"
#include "py.h"

namespace vostrel::py {

// Coordinator: one engine coordinator, owned by value.
struct PyCoordinator {
  static constexpr const char* kName = "Coordinator";
  kernel::Coordinator coordinator;
  BorrowFlag borrow;
};

// {"status", "step_count", "waiting_on", "event_count"}, or None when no
// session has that id. New references; null with the error set.
PyObject* session_to_py(const kernel::Coordinator& coordinator, std::string_view id);
// [{"src": parent, "dst": child}, ...] in edge order.
PyObject* delegation_graph_to_py(const kernel::Coordinator& coordinator);

}  // namespace vostrel::py
