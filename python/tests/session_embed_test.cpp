// The borrows that the session classes' members take, checked by holding an
// object's flag from C++ while Python calls each member: under an exclusive
// borrow every member is refused (readers with "Already mutably borrowed"),
// under a shared one the readers run and the mutating members are refused
// with "Already borrowed"; once the flag is free again every member runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "embed_support.h"
#include "session_shapes.h"

namespace vostrel::py {
namespace {

using embed::check_borrows;
using embed::take_error;
using embed::Member;

// The objects under test, made by Python code.
Ref objects() {
  static const char* kSource = R"(
import json
import _core as core
t = core.load_transducer(json.dumps({"name": "t", "slots": [], "rules": [
    {"on": "E", "guard": {"op": "Lit", "value": {"type": "Bool", "value": True}},
     "updates": [], "emits": [{"op": "Lit", "value": {"type": "Str", "value": "R"}}]}]}))
routing = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'
agent = core.AgentSession([t], core.SessionConfig(routing))
plain = core.Session([t], core.SessionConfig(routing))
step = plain.step("E", {})
cont = core.ContinuationSession([t], routing)
fold = cont.fold_event("E", {})
)";
  Ref globals(PyDict_New());
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    return Ref();
  }
  Ref done(PyRun_String(kSource, Py_file_input, globals.get(), globals.get()));
  if (!done) return Ref();
  return globals;
}

std::string call(PyObject* obj, const Member& m) {
  // Every argument format takes at most the one text "E".
  Ref result(m.args ? PyObject_CallMethod(obj, m.name, m.args, "E")
                    : PyObject_GetAttrString(obj, m.name));
  return result ? "" : take_error();
}

class SessionBorrows : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(globals_ = objects()) << take_error(); }
  PyObject* get(const char* name) { return PyDict_GetItemString(globals_.get(), name); }
  Ref globals_;
};

TEST_F(SessionBorrows, AgentSession) {
  check_borrows<PyAgentSession>(get("agent"), {
                                                  {"is_idle", nullptr, false},
                                                  {"event_log", nullptr, false},
                                                  {"events_processed", nullptr, false},
                                                  {"pending", nullptr, false},
                                                  {"snapshot", "()", false},
                                                  {"get_state", "()", false},
                                                  {"check_inbound", "(s)", false},
                                                  {"fold_event", "(s{})", true},
                                                  {"boot", "(s{})", true},
                                                  {"cancel_request", "(s)", true},
                                                  {"skip_inbound", "(s)", true},
                                              }, call);
}

TEST_F(SessionBorrows, SessionAndStepResult) {
  check_borrows<PySession>(get("plain"), {
                                             {"step", "(s{})", true},
                                             {"get_state", "()", false},
                                             {"events_processed", nullptr, false},
                                             {"is_quiescent", nullptr, false},
                                             {"pending", nullptr, false},
                                             {"snapshot", "()", false},
                                         }, call);
  check_borrows<PyStepResult>(get("step"), {
                                               {"actions", nullptr, false},
                                               {"dispatched", nullptr, false},
                                               {"check_requests", nullptr, false},
                                               {"pending", nullptr, false},
                                               {"inbound_check", nullptr, false},
                                           }, call);
}

TEST_F(SessionBorrows, ContinuationSessionAndFoldResult) {
  check_borrows<PyContinuationSession>(get("cont"), {
                                                        {"fold_event", "(s{})", true},
                                                        {"get_state", "()", false},
                                                    }, call);
  check_borrows<PyFoldResult>(get("fold"), {
                                               {"vm_env", nullptr, false},
                                               {"actions", nullptr, false},
                                           }, call);
}

// Arity first, then the borrow, then the arguments' conversion.
TEST_F(SessionBorrows, CheckedInProtocolOrder) {
  PyObject* agent = get("agent");
  Borrow held(body_of<PyAgentSession>(agent).borrow, Access::Exclusive);
  Ref missing(PyObject_CallMethod(agent, "fold_event", "(s)", "E"));
  EXPECT_EQ(take_error(),
            "TypeError: AgentSession.fold_event() missing 1 required positional argument: "
            "'event_data'");
  Ref wrong(PyObject_CallMethod(agent, "fold_event", "(i[])", 1));
  EXPECT_EQ(take_error(), "RuntimeError: Already borrowed");
}

}  // namespace
}  // namespace vostrel::py
