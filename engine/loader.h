// Checks of a session's transducer list and its first environment.
//
// Validation is advisory: it reports problems as data and the rule engine
// runs a list with problems unchanged.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "engine/kernel/expand.h"
#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::loader {

// `slot` is declared again by `transducer_b` after `transducer_a` first
// declared it.
struct SlotConflict {
  std::string slot;
  std::string transducer_a;
  std::string transducer_b;
};
// An update of a rule of `transducer` (on `rule_on`) writes `slot`, which
// that transducer does not declare.
struct UndeclaredSlot {
  std::string transducer;
  std::string rule_on;
  std::string slot;
};
struct EmptyTransducer {
  std::string transducer;
};
// Declared and printable; nothing produces the last two.
struct MacroExpansion {
  std::string transducer;
  kernel::expand::ExpandError error;
};
struct MergeConflict {
  SlotConflict conflict;
};

using LoadError =
    std::variant<SlotConflict, UndeclaredSlot, EmptyTransducer, MacroExpansion, MergeConflict>;

// Its EmptyTransducer, then its UndeclaredSlot problems in rule and update order.
std::vector<LoadError> validate_transducer(const kernel::TransducerDef& t);
// Every transducer's own problems in list order, then every slot conflict.
std::vector<LoadError> validate_session(const std::vector<kernel::TransducerDef>& ts);
// Every declared slot bound to its initial value; a later declaration wins.
kernel::Env init_env(const std::vector<kernel::TransducerDef>& ts);

// The one-line debug form, e.g. `EmptyTransducer { transducer: "x" }`.
std::string debug_string(const LoadError& error);

}  // namespace vostrel::loader
