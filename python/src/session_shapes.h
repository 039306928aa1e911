// Dicts and lists that the session classes hand back to Python, built in
// one place: the request dict of the live road, the action dict of the step
// and one-shot roads (two shapes on purpose: different keys, key order and
// content), and the records of the session classes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "borrow.h"
#include "object.h"
#include "engine/agent_fold.h"
#include "engine/agent_session.h"
#include "engine/session.h"
#include "py.h"

namespace vostrel::py {

// AgentSession: one agent on the live road.
struct PyAgentSession {
  static constexpr const char* kName = "AgentSession";
  explicit PyAgentSession(agent_session::Session s) : session(std::move(s)) {}
  agent_session::Session session;
  BorrowFlag borrow;
};

// Session: a plain session on the step road with its own transducers.
struct PySession {
  static constexpr const char* kName = "Session";
  PySession(session::SessionState s, std::vector<kernel::TransducerDef> defs)
      : state(std::move(s)), transducers(std::move(defs)) {}
  session::SessionState state;
  std::vector<kernel::TransducerDef> transducers;
  BorrowFlag borrow;
};

// StepResult: what one step of a Session produced.
struct PyStepResult {
  static constexpr const char* kName = "StepResult";
  explicit PyStepResult(agent_fold::TurnResult r) : result(std::move(r)) {}
  agent_fold::TurnResult result;
  BorrowFlag borrow;
};

// ContinuationSession: the one-shot road over one environment.
struct PyContinuationSession {
  static constexpr const char* kName = "ContinuationSession";
  PyContinuationSession(kernel::RoutingConfig r, std::vector<kernel::TransducerDef> defs,
                        kernel::Env e)
      : routing(std::move(r)), transducers(std::move(defs)), env(std::move(e)) {}
  kernel::RoutingConfig routing;
  std::vector<kernel::TransducerDef> transducers;
  kernel::Env env;
  BorrowFlag borrow;
};

// FoldResult: what one fold of a ContinuationSession produced.
struct PyFoldResult {
  static constexpr const char* kName = "FoldResult";
  explicit PyFoldResult(agent_fold::FoldResult r) : result(std::move(r)) {}
  agent_fold::FoldResult result;
  BorrowFlag borrow;
};

// A new result object (StepResult, FoldResult) holding what `turn` hands
// over. The object is made first and filled by the commit, so that failing
// to make it drops the turn and leaves the session as it was.
template <class Body, class Turn>
PyObject* new_result_of(Turn& turn) {
  PyObject* made = make_object<Body>(Body({}));
  if (made != nullptr) body_of<Body>(made).result = turn.commit();
  return made;
}

// {"type": "Dispatch", "request": value} or
// {"type": "CheckThenDispatch", "request": value, "check_source": source}.
PyObject* action_dict(const agent_fold::RequestAction& action);
PyObject* action_list(const std::vector<agent_fold::RequestAction>& actions);

// {"action": "Dispatch", "request": payload} or
// {"action": "CheckThenDispatch", "check_source": source, "request": payload},
// the payload being a map request's entries (any other request: {}).
PyObject* request_dict(const unified_session::ClassifiedRequest<kernel::Value>& request);

}  // namespace vostrel::py
