// A compact text of expressions and definitions for tests: two trees are
// equal exactly when their texts are, and a definition's text shows every
// node, name, key and annotation.
#pragma once

#include <string>

#include "engine/kernel/types.h"
#include "engine/kernel/value_io.h"

namespace vostrel::kernel::testing {

inline std::string text(const Expr& e);

inline std::string ann_text(const std::optional<VType>& a) {
  constexpr const char* names[] = {"TStr", "TInt", "TBool", "TList", "TMap"};
  return a ? names[static_cast<int>(*a)] : "-";
}

inline std::string text(const Expr& e) {
  const auto name = std::string(kExprVariantNames[e.node.index()]);
  return std::visit(
      [&](const auto& n) -> std::string {
        using N = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<N, expr::Lit>) {
          return "Lit(" + json_text(n.value) + ")";
        } else if constexpr (std::is_same_v<N, expr::Ref>) {
          return "Ref(" + n.name + ")";
        } else if constexpr (std::is_same_v<N, expr::MPut>) {
          return name + "(" + text(*n.map) + ", " + text(*n.key) + ", " + text(*n.value) + ")";
        } else if constexpr (std::is_same_v<N, expr::MGet>) {
          return name + "(" + text(*n.map) + ", " + text(*n.key) + ", " + ann_text(n.type_ann) +
                 ")";
        } else if constexpr (std::is_same_v<N, expr::MDel>) {
          return name + "(" + text(*n.map) + ", " + text(*n.key) + ")";
        } else if constexpr (std::is_same_v<N, expr::MKeys>) {
          return name + "(" + text(*n.map) + ")";
        } else if constexpr (std::is_same_v<N, expr::LAppend>) {
          return name + "(" + text(*n.list) + ", " + text(*n.item) + ")";
        } else if constexpr (std::is_same_v<N, expr::Rec>) {
          std::string out = "Rec{";
          for (std::size_t i = 0; i < n.fields.size(); ++i) {
            out += (i ? ", " : "") + n.fields[i].key + ": " + text(*n.fields[i].val_expr);
          }
          return out + "}";
        } else if constexpr (std::is_same_v<N, expr::ELet>) {
          return name + "(" + n.name + ", " + text(*n.value) + ", " + text(*n.body) + ")";
        } else if constexpr (std::is_same_v<N, expr::IfElse>) {
          return name + "(" + text(*n.cond) + ", " + text(*n.then_expr) + ", " +
                 text(*n.else_expr) + ")";
        } else if constexpr (std::is_same_v<N, expr::LFold>) {
          return name + "(" + text(*n.list) + ", " + text(*n.init) + ", " + n.acc_var + ", " +
                 n.item_var + ", " + text(*n.body) + ", " + ann_text(n.item_type_ann) + ")";
        } else if constexpr (std::is_same_v<N, expr::Macro>) {
          std::string out = "Macro " + n.name + "(";
          for (std::size_t i = 0; i < n.args.size(); ++i) out += (i ? ", " : "") + text(n.args[i]);
          return out + ")";
        } else {  // the binary operators
          return name + "(" + text(*n.left) + ", " + text(*n.right) + ")";
        }
      },
      e.node);
}

inline std::string text(const TransducerDef& t) {
  std::string out = t.name + " slots[";
  for (const SlotDef& s : t.slots) out += s.name + "=" + json_text(s.initial) + ";";
  out += "]";
  for (const Rule& r : t.rules) {
    out += "\n on " + r.on + " if " + text(r.guard);
    for (const Update& u : r.updates) out += "\n  " + u.slot + " := " + text(u.expr);
    for (const Expr& e : r.emits) out += "\n  emit " + text(e);
  }
  return out;
}

}  // namespace vostrel::kernel::testing
