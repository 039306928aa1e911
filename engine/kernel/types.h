// The kernel language's records: expressions and transducer definitions.
// They are built by the readers (and by macro expansion), never changed
// afterwards, and copied whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/kernel/box.h"
#include "engine/kernel/typecheck.h"
#include "engine/kernel/value.h"

namespace vostrel::kernel {

struct Expr;

// One entry of a record literal; a Rec may repeat a key.
struct RecField {
  std::string key;
  Box<Expr> val_expr;
};

namespace expr {

struct Lit { Value value; };
struct Ref { std::string name; };
struct Add { Box<Expr> left, right; };
struct Mul { Box<Expr> left, right; };
struct Div { Box<Expr> left, right; };
struct Mod { Box<Expr> left, right; };
struct Gt { Box<Expr> left, right; };
struct Eq { Box<Expr> left, right; };
struct LAppend { Box<Expr> list, item; };
struct MPut { Box<Expr> map, key, value; };
struct MGet { Box<Expr> map, key; std::optional<VType> type_ann; };
struct MDel { Box<Expr> map, key; };
struct MKeys { Box<Expr> map; };
struct Rec { std::vector<RecField> fields; };
struct ELet { std::string name; Box<Expr> value, body; };
struct IfElse { Box<Expr> cond, then_expr, else_expr; };
struct LFold {
  Box<Expr> list, init;
  std::string acc_var, item_var;
  Box<Expr> body;
  std::optional<VType> item_type_ann;
};
struct StrCat { Box<Expr> left, right; };
struct Macro { std::string name; std::vector<Expr> args; };

}  // namespace expr

// The alternatives stand in variant order: index() is the variant number
// that the readers accept in place of the name.
using ExprNode = std::variant<expr::Lit, expr::Ref, expr::Add, expr::Mul, expr::Div, expr::Mod,
                              expr::Gt, expr::Eq, expr::LAppend, expr::MPut, expr::MGet,
                              expr::MDel, expr::MKeys, expr::Rec, expr::ELet, expr::IfElse,
                              expr::LFold, expr::StrCat, expr::Macro>;

template <class T, class Variant>
inline constexpr bool is_alternative_of = false;
template <class T, class... Ts>
inline constexpr bool is_alternative_of<T, std::variant<Ts...>> = (std::is_same_v<T, Ts> || ...);
template <class T>
concept is_expr_node = is_alternative_of<T, ExprNode>;

inline constexpr std::string_view kExprVariantNames[] = {
    "Lit", "Ref", "Add", "Mul", "Div", "Mod", "Gt", "Eq", "LAppend", "MPut",
    "MGet", "MDel", "MKeys", "Rec", "ELet", "IfElse", "LFold", "StrCat", "Macro"};

struct Expr {
  ExprNode node;

  Expr() = default;
  // Only the node types themselves convert. Asking instead whether the
  // variant is constructible from the argument would ask this very
  // constraint again (a node is built from Box<Expr> children), which clang
  // refuses as a constraint that depends on itself.
  template <class Node>
    requires is_expr_node<std::remove_cvref_t<Node>>
  Expr(Node&& n) : node(std::forward<Node>(n)) {}  // NOLINT: a node is an expression
};

struct SlotDef {
  std::string name;
  Value initial;
};

struct Update {
  std::string slot;
  Expr expr;
};

struct Rule {
  std::string on;
  Expr guard;
  std::vector<Update> updates;
  std::vector<Expr> emits;
};

struct TransducerDef {
  std::string name;
  std::vector<SlotDef> slots;
  std::vector<Rule> rules;
};

}  // namespace vostrel::kernel
