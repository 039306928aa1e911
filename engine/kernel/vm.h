// The expression evaluator and the rule engine.
//
// Evaluation is total: an operation that does not apply (wrong kind of
// operand, unbound name, division by zero, an unexpanded macro) yields None
// and evaluation goes on. Nothing here keeps state or changes its arguments.
//
// Scopes are not copies of the environment: an evaluation looks names up in
// let/fold bindings first, then in the event's fields, then in the slots,
// which gives the same results as binding each into a fresh copy. Values are
// shared by reference count, so `Ref` and `Lit` cost O(1), and a slot that an
// update rewrites (for example a history that grows by one message per event)
// is modified in place when nothing else holds it.
//
// Div and Mod of the smallest Int by -1, whose true quotient 2^63 does not
// fit, yield the wrapped quotient (the smallest Int itself) and the
// remainder 0.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::kernel::vm {

// The value of `expr` with the names of `env` in scope.
Value eval(const Env& env, const Expr& expr);

// A copy of `slots` with every field of `data` inserted over it.
Env bind_event(const Env& slots, const Env& data);

// Runs the rules of `t` whose `on` is `tag`, in order: returns the effects
// they emitted and the environment after their updates.
std::pair<std::vector<Value>, Env> exec_transducer(const TransducerDef& t, const Env& env,
                                                   std::string_view tag, const Env& data);

// Runs every transducer of `ts` in list order over one environment. `env` is
// taken by value so that a caller can move its state in; the slots it owns
// alone are then updated in place.
std::pair<std::vector<Value>, Env> exec_session(const std::vector<TransducerDef>& ts, Env env,
                                                std::string_view tag, const Env& data);

// The same on `env` in place, returning the effects. With `undo`, every
// write to a slot, and to the lists and maps a slot holds, goes through it
// (the rule is UndoLog's): rolling it back gives `env` back as it was.
std::vector<Value> exec_session_in_place(const std::vector<TransducerDef>& ts, Env& env,
                                         std::string_view tag, const Env& data, UndoLog* undo);

}  // namespace vostrel::kernel::vm
