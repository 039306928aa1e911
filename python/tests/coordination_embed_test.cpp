// The borrows that Coordinator and NetworkSession members take, checked by
// holding an object's flag from C++ while Python calls every member: with an
// exclusive borrow held every member is refused, readers with "Already
// mutably borrowed"; with a shared one the readers run and the mutating
// members are refused with "Already borrowed".
#include <string>
#include <vector>

#include "coordinator.h"
#include "embed_support.h"
#include "network_session.h"

namespace vostrel::py {
namespace {

using embed::check_borrows;
using embed::Member;
using embed::take_error;

// Calls the member and returns what it raised ("" for a success).
std::string call(PyObject* obj, const Member& m) {
  Ref result(m.args ? PyObject_CallMethod(obj, m.name, m.args, "a", "b", "T", "R")
                    : PyObject_GetAttrString(obj, m.name));
  return result ? "" : take_error();
}

// A new instance of the module's class `cls` called with `args` (a tuple).
Ref make(const char* cls, Ref args) {
  Ref module(PyImport_ImportModule("_core"));
  if (!module) return Ref();
  Ref type(PyObject_GetAttrString(module.get(), cls));
  if (!type || !args) return Ref();
  return Ref(PyObject_CallObject(type.get(), args.get()));
}

TEST(CoordinatorBorrows, AsTabled) {
  Ref c = make("Coordinator", Ref(PyTuple_New(0)));
  ASSERT_TRUE(c) << take_error();
  // The format strings take their texts from the fixed tail "a", "b", "T", "R".
  check_borrows<PyCoordinator>(c.get(), {
                                            {"spawn_session", "(s)", true},
                                            {"fork_session", "(ss)", true},
                                            {"destroy_session", "(s)", true},
                                            {"add_route", "(ssss)", true},
                                            {"start_processing", "(s)", true},
                                            {"process_step", "(s)", true},
                                            {"delegate_to", "(sss{})", true},
                                            {"finish_session", "(s)", true},
                                            {"complete_delegation", "(ss)", true},
                                            {"reset_session", "(s)", true},
                                            {"cancel_delegation", "(ss)", true},
                                            {"session_failed", "(s)", true},
                                            {"session", "(s)", false},
                                            {"sessions", "()", false},
                                            {"delegation_graph", "()", false},
                                            {"can_reach", "(ss)", false},
                                        },
                                call, /*engine_may_refuse=*/true);
}

TEST(NetworkSessionBorrows, AsTabled) {
  Ref n = make("NetworkSession", Ref(Py_BuildValue("([][][(ss)]s)", "a", "b", "a")));
  ASSERT_TRUE(n) << take_error();
  check_borrows<PyNetworkSession>(n.get(), {
                                               {"active_agent", nullptr, false},
                                               {"agent_status", "(s)", false},
                                               {"session", "(s)", false},
                                               {"delegation_graph", "()", false},
                                               {"fold_event", "(s{})", true},
                                               {"fold_static_delegation", "(ss)", true},
                                               {"fold_static_delegation_complete", "(ss)", true},
                                               {"reset_agent", "(s)", true},
                                           },
                                    call, /*engine_may_refuse=*/true);
}

TEST(CoordinatorBorrows, ArgumentsAreMatchedBeforeTheBorrow) {
  Ref c = make("Coordinator", Ref(PyTuple_New(0)));
  Borrow held(body_of<PyCoordinator>(c.get()).borrow, Access::Exclusive);
  Ref result(PyObject_CallMethod(c.get(), "spawn_session", nullptr));
  EXPECT_FALSE(result);
  EXPECT_EQ(take_error(),
            "TypeError: Coordinator.spawn_session() missing 1 required positional argument: 'id'");
}

}  // namespace
}  // namespace vostrel::py
