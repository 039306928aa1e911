// Terse builders for expression trees and values in the kernel's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::kernel::build {

inline Value I(std::int64_t v) { return Value::integer(v); }
inline Value S(std::string v) { return Value::str(std::move(v)); }
inline Value B(bool v) { return Value::boolean(v); }
inline Value N() { return Value::none(); }
inline Value L(std::vector<Value> items = {}) { return Value::list(std::move(items)); }
inline Value M(Map entries = {}) { return Value::map(std::move(entries)); }

inline Expr lit(Value v) { return expr::Lit{std::move(v)}; }
inline Expr lit_i(std::int64_t v) { return lit(I(v)); }
inline Expr lit_s(std::string v) { return lit(S(std::move(v))); }
inline Expr lit_b(bool v) { return lit(B(v)); }
inline Expr ref(std::string name) { return expr::Ref{std::move(name)}; }
inline Expr add(Expr l, Expr r) { return expr::Add{std::move(l), std::move(r)}; }
inline Expr mul(Expr l, Expr r) { return expr::Mul{std::move(l), std::move(r)}; }
inline Expr div(Expr l, Expr r) { return expr::Div{std::move(l), std::move(r)}; }
inline Expr mod(Expr l, Expr r) { return expr::Mod{std::move(l), std::move(r)}; }
inline Expr gt(Expr l, Expr r) { return expr::Gt{std::move(l), std::move(r)}; }
inline Expr eq(Expr l, Expr r) { return expr::Eq{std::move(l), std::move(r)}; }
inline Expr strcat(Expr l, Expr r) { return expr::StrCat{std::move(l), std::move(r)}; }
inline Expr lappend(Expr l, Expr item) { return expr::LAppend{std::move(l), std::move(item)}; }
inline Expr mput(Expr m, Expr k, Expr v) {
  return expr::MPut{std::move(m), std::move(k), std::move(v)};
}
inline Expr mget(Expr m, Expr k, std::optional<VType> ann = std::nullopt) {
  return expr::MGet{std::move(m), std::move(k), ann};
}
inline Expr mdel(Expr m, Expr k) { return expr::MDel{std::move(m), std::move(k)}; }
inline Expr mkeys(Expr m) { return expr::MKeys{std::move(m)}; }
inline Expr rec(std::vector<std::pair<std::string, Expr>> fields) {
  expr::Rec r;
  for (auto& [k, v] : fields) r.fields.push_back({k, std::move(v)});
  return r;
}
inline Expr let(std::string name, Expr value, Expr body) {
  return expr::ELet{std::move(name), std::move(value), std::move(body)};
}
inline Expr if_else(Expr c, Expr t, Expr e) {
  return expr::IfElse{std::move(c), std::move(t), std::move(e)};
}
inline Expr fold(Expr list, Expr init, std::string acc, std::string item, Expr body,
                 std::optional<VType> ann = std::nullopt) {
  return expr::LFold{std::move(list), std::move(init), std::move(acc), std::move(item),
                     std::move(body), ann};
}
inline Expr macro(std::string name, std::vector<Expr> args = {}) {
  return expr::Macro{std::move(name), std::move(args)};
}

inline Rule rule(std::string on, Expr guard, std::vector<Update> updates = {},
                 std::vector<Expr> emits = {}) {
  return Rule{std::move(on), std::move(guard), std::move(updates), std::move(emits)};
}
inline Update upd(std::string slot, Expr e) { return Update{std::move(slot), std::move(e)}; }

}  // namespace vostrel::kernel::build
