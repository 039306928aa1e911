// Macro expansion: rewrites every Macro node of a transducer definition into
// core expressions, by substituting the call's arguments for the macro's
// parameters in its body and expanding the result again, with a fuel that
// bounds how deeply macro applications may nest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/result.h"

namespace vostrel::kernel::expand {

struct MacroDef {
  std::string name;
  std::vector<std::string> params;
  // Indices into `params`: the parameters whose string-literal arguments
  // rename the binders of the body that carry the parameter's name.
  std::vector<std::uint64_t> bindings;
  Expr body;
};

// Keyed by name in byte order; a later definition of a name replaces an
// earlier one.
using MacroTable = std::map<std::string, MacroDef, std::less<>>;
MacroTable build_macro_table(std::vector<MacroDef> defs);

struct UnknownMacro {
  std::string name;
};
struct ArityMismatch {
  std::string name;
  std::uint64_t expected;
  std::uint64_t got;
};
struct FuelExhausted {
  std::string name;
};
// `name` is always the name written in the offending Macro node.
using ExpandError = std::variant<UnknownMacro, ArityMismatch, FuelExhausted>;

// The one-line debug form, e.g. `ArityMismatch { name: "lt", expected: 2, got: 1 }`.
std::string debug_string(const ExpandError& error);

// Expands every rule with a fuel of the table's size plus one; the first
// failure (rules in order; guard, updates, emits) is returned.
Result<TransducerDef, ExpandError> expand_transducer(const MacroTable& table,
                                                     const TransducerDef& t);
Result<Rule, ExpandError> expand_rule(const MacroTable& table, const Rule& rule,
                                      std::size_t fuel);
Result<Expr, ExpandError> expand_expr(const MacroTable& table, const Expr& e, std::size_t fuel);

// Replaces each Ref to a parameter by a copy of its argument (the first
// parameter of that name counts) and renames binders through
// extract_binding_name. Not hygienic, never fails.
Expr substitute(const std::vector<std::string>& params, const std::vector<Expr>& args,
                const std::vector<std::uint64_t>& bindings, const Expr& e);

// The name a binder takes: the text of the string literal passed for a
// binding parameter of the binder's name, otherwise the binder's own name.
std::string extract_binding_name(const std::vector<std::string>& params,
                                 const std::vector<Expr>& args,
                                 const std::vector<std::uint64_t>& bindings,
                                 std::string_view binder);

}  // namespace vostrel::kernel::expand
