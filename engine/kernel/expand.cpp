#include "engine/kernel/expand.h"

#include <optional>
#include <utility>

#include "engine/kernel/debug_quote.h"

namespace vostrel::kernel::expand {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

// Rebuilds a node of a variant other than Lit, Ref and Macro as the same
// variant: `child` maps every child expression, in the order of the node's
// fields, and `rename` maps the names of let and fold binders. String fields,
// record keys and annotations are copied.
template <class Child, class Rename>
Expr rebuild(const Expr& e, Child& child, Rename& rename) {
  return std::visit(
      Overloaded{
          [&](const expr::Lit& n) -> Expr { return n; },
          [&](const expr::Ref& n) -> Expr { return n; },
          [&](const expr::Add& n) -> Expr { return expr::Add{child(*n.left), child(*n.right)}; },
          [&](const expr::Mul& n) -> Expr { return expr::Mul{child(*n.left), child(*n.right)}; },
          [&](const expr::Div& n) -> Expr { return expr::Div{child(*n.left), child(*n.right)}; },
          [&](const expr::Mod& n) -> Expr { return expr::Mod{child(*n.left), child(*n.right)}; },
          [&](const expr::Gt& n) -> Expr { return expr::Gt{child(*n.left), child(*n.right)}; },
          [&](const expr::Eq& n) -> Expr { return expr::Eq{child(*n.left), child(*n.right)}; },
          [&](const expr::StrCat& n) -> Expr {
            return expr::StrCat{child(*n.left), child(*n.right)};
          },
          [&](const expr::LAppend& n) -> Expr {
            return expr::LAppend{child(*n.list), child(*n.item)};
          },
          [&](const expr::MPut& n) -> Expr {
            return expr::MPut{child(*n.map), child(*n.key), child(*n.value)};
          },
          [&](const expr::MGet& n) -> Expr {
            return expr::MGet{child(*n.map), child(*n.key), n.type_ann};
          },
          [&](const expr::MDel& n) -> Expr { return expr::MDel{child(*n.map), child(*n.key)}; },
          [&](const expr::MKeys& n) -> Expr { return expr::MKeys{child(*n.map)}; },
          [&](const expr::Rec& n) -> Expr {
            expr::Rec out;
            out.fields.reserve(n.fields.size());
            for (const RecField& f : n.fields) out.fields.push_back({f.key, child(*f.val_expr)});
            return out;
          },
          [&](const expr::ELet& n) -> Expr {
            return expr::ELet{rename(n.name), child(*n.value), child(*n.body)};
          },
          [&](const expr::IfElse& n) -> Expr {
            return expr::IfElse{child(*n.cond), child(*n.then_expr), child(*n.else_expr)};
          },
          [&](const expr::LFold& n) -> Expr {
            Expr list = child(*n.list);
            Expr init = child(*n.init);
            std::string acc = rename(n.acc_var);
            std::string item = rename(n.item_var);
            return expr::LFold{std::move(list), std::move(init), std::move(acc), std::move(item),
                               child(*n.body), n.item_type_ann};
          },
          [&](const expr::Macro& n) -> Expr {
            expr::Macro out{n.name, {}};
            out.args.reserve(n.args.size());
            for (const Expr& a : n.args) out.args.push_back(child(a));
            return out;
          },
      },
      e.node);
}

// One expansion walk. The first failure is kept and every later step
// returns at once, so the walk stops there.
class Expander {
 public:
  explicit Expander(const MacroTable& table) : table_(table) {}

  Expr expand(const Expr& e, std::size_t fuel) {
    if (error_) return Expr{};
    const auto* call = std::get_if<expr::Macro>(&e.node);
    if (call == nullptr) {
      auto child = [&](const Expr& c) { return expand(c, fuel); };
      auto same = [](const std::string& name) { return name; };
      return rebuild(e, child, same);
    }
    if (fuel == 0) return fail(FuelExhausted{call->name});
    auto it = table_.find(call->name);
    if (it == table_.end()) return fail(UnknownMacro{call->name});
    const MacroDef& def = it->second;
    if (call->args.size() != def.params.size()) {
      return fail(ArityMismatch{call->name, def.params.size(), call->args.size()});
    }
    std::vector<Expr> args;
    args.reserve(call->args.size());
    for (const Expr& a : call->args) {
      args.push_back(expand(a, fuel - 1));
      if (error_) return Expr{};
    }
    Expr body = substitute(def.params, args, def.bindings, def.body);
    return expand(body, fuel - 1);
  }

  std::optional<ExpandError>& error() { return error_; }

 private:
  Expr fail(ExpandError e) {
    error_ = std::move(e);
    return Expr{};
  }

  const MacroTable& table_;
  std::optional<ExpandError> error_;
};

std::optional<std::size_t> param_index(const std::vector<std::string>& params,
                                       std::string_view name) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i] == name) return i;
  }
  return std::nullopt;
}

struct DebugWriter {
  std::string operator()(const UnknownMacro& e) const {
    return DebugStruct("UnknownMacro").field("name", e.name).finish();
  }
  std::string operator()(const ArityMismatch& e) const {
    return DebugStruct("ArityMismatch")
        .field("name", e.name)
        .field("expected", e.expected)
        .field("got", e.got)
        .finish();
  }
  std::string operator()(const FuelExhausted& e) const {
    return DebugStruct("FuelExhausted").field("name", e.name).finish();
  }
};

}  // namespace

MacroTable build_macro_table(std::vector<MacroDef> defs) {
  MacroTable table;
  for (MacroDef& def : defs) {
    std::string key = def.name;
    table.insert_or_assign(std::move(key), std::move(def));
  }
  return table;
}

std::string debug_string(const ExpandError& error) { return std::visit(DebugWriter{}, error); }

Result<Expr, ExpandError> expand_expr(const MacroTable& table, const Expr& e, std::size_t fuel) {
  Expander expander(table);
  Expr out = expander.expand(e, fuel);
  if (expander.error()) return fail(std::move(*expander.error()));
  return out;
}

Result<Rule, ExpandError> expand_rule(const MacroTable& table, const Rule& rule,
                                      std::size_t fuel) {
  Expander expander(table);
  Rule out;
  out.on = rule.on;
  out.guard = expander.expand(rule.guard, fuel);
  out.updates.reserve(rule.updates.size());
  for (const Update& u : rule.updates) {
    if (expander.error()) break;
    out.updates.push_back({u.slot, expander.expand(u.expr, fuel)});
  }
  out.emits.reserve(rule.emits.size());
  for (const Expr& e : rule.emits) {
    if (expander.error()) break;
    out.emits.push_back(expander.expand(e, fuel));
  }
  if (expander.error()) return fail(std::move(*expander.error()));
  return out;
}

Result<TransducerDef, ExpandError> expand_transducer(const MacroTable& table,
                                                     const TransducerDef& t) {
  const std::size_t fuel = table.size() + 1;
  TransducerDef out;
  out.name = t.name;
  out.slots = t.slots;
  out.rules.reserve(t.rules.size());
  for (const Rule& rule : t.rules) {
    auto expanded = expand_rule(table, rule, fuel);
    if (!expanded) return fail(std::move(expanded.error()));
    out.rules.push_back(std::move(*expanded));
  }
  return out;
}

Expr substitute(const std::vector<std::string>& params, const std::vector<Expr>& args,
                const std::vector<std::uint64_t>& bindings, const Expr& e) {
  if (const auto* ref = std::get_if<expr::Ref>(&e.node)) {
    auto i = param_index(params, ref->name);
    if (i && *i < args.size()) return args[*i];
    return e;
  }
  auto child = [&](const Expr& c) { return substitute(params, args, bindings, c); };
  auto rename = [&](const std::string& name) {
    return extract_binding_name(params, args, bindings, name);
  };
  return rebuild(e, child, rename);
}

std::string extract_binding_name(const std::vector<std::string>& params,
                                 const std::vector<Expr>& args,
                                 const std::vector<std::uint64_t>& bindings,
                                 std::string_view binder) {
  auto i = param_index(params, binder);
  if (!i) return std::string(binder);
  bool is_binding = false;
  for (std::uint64_t b : bindings) is_binding = is_binding || b == *i;
  if (!is_binding || *i >= args.size()) return std::string(binder);
  if (const auto* lit = std::get_if<expr::Lit>(&args[*i].node)) {
    if (const std::string* s = lit->value.if_str()) return *s;
  }
  return std::string(binder);
}

}  // namespace vostrel::kernel::expand
