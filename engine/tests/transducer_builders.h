// Small transducers for session tests, built directly as records.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::test {

using kernel::Expr;
using kernel::Rule;
using kernel::TransducerDef;
using kernel::Value;

inline Value vstr(std::string s) { return Value::str(std::move(s)); }
inline Value vmap(kernel::Map m) { return Value::map(std::move(m)); }
inline Expr lit(Value v) { return kernel::expr::Lit{std::move(v)}; }

// One rule per (tag, emitted values), each with a true guard and no update.
inline TransducerDef emitter(std::string name,
                             std::vector<std::pair<std::string, std::vector<Value>>> rules) {
  TransducerDef t{std::move(name), {}, {}};
  for (auto& [on, values] : rules) {
    Rule rule{on, lit(Value::boolean(true)), {}, {}};
    for (Value& v : values) rule.emits.push_back(lit(std::move(v)));
    t.rules.push_back(std::move(rule));
  }
  return t;
}

// A slot `slot` (initially Int 0) set to the event field `field` on `on`.
inline TransducerDef setter(std::string name, std::string on, std::string slot, std::string field) {
  TransducerDef t{std::move(name), {{slot, Value::integer(0)}}, {}};
  Rule rule{std::move(on), lit(Value::boolean(true)), {}, {}};
  rule.updates.push_back(kernel::Update{std::move(slot), kernel::expr::Ref{std::move(field)}});
  t.rules.push_back(std::move(rule));
  return t;
}

}  // namespace vostrel::test
