#include "engine/kernel/expand.h"

#include <gtest/gtest.h>

#include "engine/kernel/vm.h"
#include "engine/tests/expr_text.h"
#include "engine/tests/kernel_builders.h"

namespace vostrel::kernel::expand {
namespace {

using namespace build;

MacroDef def(std::string name, std::vector<std::string> params, Expr body,
             std::vector<std::uint64_t> bindings = {}) {
  return MacroDef{std::move(name), std::move(params), std::move(bindings), std::move(body)};
}

// Nine macros, so that the fuel is 10 as with the standard library.
MacroTable nine() {
  std::vector<MacroDef> defs;
  defs.push_back(def("lt", {"a", "b"}, gt(ref("b"), ref("a"))));
  defs.push_back(def("not", {"a"}, if_else(ref("a"), lit_b(false), lit_b(true))));
  defs.push_back(def("self", {"a"}, macro("self", {ref("a")})));
  defs.push_back(def("twice", {"x", "x"}, add(ref("x"), ref("x"))));
  defs.push_back(def("shadow", {"a"}, let("a", lit_i(5), ref("a"))));
  defs.push_back(def("bind", {"n", "v"}, let("n", ref("v"), ref("n")), {0}));
  defs.push_back(def("nobind", {"n", "v"}, let("n", ref("v"), ref("n"))));
  defs.push_back(def("keys", {"k"},
                     rec({{"k", mget(ref("k"), lit_s("k"), VType::TStr)}})));
  defs.push_back(def("filler", {}, lit_i(0)));
  return build_macro_table(std::move(defs));
}

std::string error_of(const MacroTable& table, const Expr& e, std::size_t fuel = 10) {
  auto r = expand_expr(table, e, fuel);
  return r ? "ok" : debug_string(r.error());
}

Expr nested_not(int depth) {
  Expr e = lit_b(true);
  for (int i = 0; i < depth; ++i) e = macro("not", {std::move(e)});
  return e;
}

TEST(Expand, Errors) {
  const MacroTable table = nine();
  ASSERT_EQ(table.size(), 9u);
  EXPECT_EQ(error_of(table, macro("max")), "UnknownMacro { name: \"max\" }");
  EXPECT_EQ(error_of(table, macro("max"), 0), "FuelExhausted { name: \"max\" }");
  EXPECT_EQ(error_of(table, macro("lt", {macro("max")})),
            "ArityMismatch { name: \"lt\", expected: 2, got: 1 }");
  EXPECT_EQ(error_of(table, macro("self", {lit_i(1)})), "FuelExhausted { name: \"self\" }");
  EXPECT_EQ(error_of(table, nested_not(10)), "ok");
  EXPECT_EQ(error_of(table, nested_not(11)), "FuelExhausted { name: \"not\" }");
  // First failure in child order.
  EXPECT_EQ(error_of(table, rec({{"a", macro("first")}, {"b", macro("second")}})),
            "UnknownMacro { name: \"first\" }");
  // Fuel 0 does not stop the walk through other nodes.
  EXPECT_EQ(error_of(table, add(lit_i(1), ref("x")), 0), "ok");
}

TEST(Expand, FuelIsPerPathNotShared) {
  const MacroTable table = nine();
  // Siblings each get the parent's fuel.
  EXPECT_EQ(error_of(table, add(nested_not(10), nested_not(10))), "ok");
  EXPECT_EQ(error_of(table, macro("lt", {nested_not(9), nested_not(9)})), "ok");
  EXPECT_EQ(error_of(table, macro("lt", {nested_not(9), nested_not(10)})),
            "FuelExhausted { name: \"not\" }");
  // A call in a body is met with one less fuel than the call of its macro;
  // the arguments, expanded before substitution, get that same fuel.
  MacroTable with_wrapper = table;
  with_wrapper.emplace("wrap", def("wrap", {"a"}, macro("not", {ref("a")})));
  EXPECT_EQ(error_of(with_wrapper, macro("wrap", {lit_b(true)}), 1),
            "FuelExhausted { name: \"not\" }");
  EXPECT_EQ(error_of(with_wrapper, macro("wrap", {lit_b(true)}), 2), "ok");
  EXPECT_EQ(error_of(with_wrapper, macro("wrap", {nested_not(10)}), 11), "ok");
  EXPECT_EQ(error_of(with_wrapper, macro("wrap", {nested_not(11)}), 11),
            "FuelExhausted { name: \"not\" }");
}

TEST(Expand, DefinitionWithoutMacrosComesBackEqual) {
  // Every variant but Macro, with annotations, binders and record keys.
  const Expr body = rec({
      {"a", add(mul(lit_i(1), div(lit_i(2), mod(lit_i(3), lit_i(4)))), ref("x"))},
      {"b", if_else(gt(ref("x"), lit_i(0)), eq(ref("y"), lit_s("s")), strcat(lit_s("p"), ref("q")))},
      {"c", mput(mdel(lit(M()), lit_s("k")), lit_s("k"), mget(ref("m"), lit_s("k"), VType::TList))},
      {"d", let("v", mkeys(ref("m")),
                fold(ref("v"), lit(L()), "acc", "it", lappend(ref("acc"), ref("it")), VType::TStr))},
  });
  const TransducerDef t{"t", {SlotDef{"x", I(1)}, SlotDef{"y", M({{"k", L()}})}},
                        {rule("B", lit_b(true), {upd("x", body), upd("y", ref("y"))}, {body}),
                         rule("A", gt(ref("x"), lit_i(1)), {}, {body, ref("x")})}};
  auto expanded = expand_transducer(nine(), t);
  ASSERT_TRUE(expanded);
  EXPECT_EQ(testing::text(*expanded), testing::text(t));
}

TEST(Expand, RuleAndTransducerOrder) {
  const MacroTable table = nine();
  Rule r = rule("E", macro("g"), {upd("s", macro("u"))}, {macro("e")});
  auto rr = expand_rule(table, r, 10);
  ASSERT_FALSE(rr);
  EXPECT_EQ(debug_string(rr.error()), "UnknownMacro { name: \"g\" }");
  r.guard = lit_b(true);
  EXPECT_EQ(debug_string(expand_rule(table, r, 10).error()), "UnknownMacro { name: \"u\" }");
  TransducerDef t{"t", {SlotDef{"s", I(1)}},
                  {rule("A", lit_b(true), {}, {macro("one")}),
                   rule("B", macro("two"))}};
  EXPECT_EQ(debug_string(expand_transducer(table, t).error()), "UnknownMacro { name: \"one\" }");
  // The empty table gives a fuel of 1: no macro expands.
  EXPECT_EQ(debug_string(expand_transducer({}, TransducerDef{"t", {}, {rule("A", macro("lt"))}})
                             .error()),
            "UnknownMacro { name: \"lt\" }");
}

TEST(Expand, SubstitutionRules) {
  const MacroTable table = nine();
  const Env env{{"x", I(3)}, {"s", S("name")}, {"k", M({{"k", S("v")}})}};
  auto value_of = [&](Expr e) {
    auto r = expand_expr(table, e, 10);
    EXPECT_TRUE(r) << (r ? "" : debug_string(r.error()));
    return r ? vm::eval(env, *r) : Value::none();
  };
  EXPECT_EQ(value_of(macro("lt", {lit_i(1), lit_i(2)})), B(true));
  // Arguments go in as whole expressions: lt(1, 2) is Gt(2, 1).
  auto lt = expand_expr(table, macro("lt", {lit_i(1), lit_i(2)}), 10);
  const auto* g = std::get_if<expr::Gt>(&lt->node);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(std::get<expr::Lit>(g->left->node).value, I(2));
  EXPECT_EQ(std::get<expr::Lit>(g->right->node).value, I(1));
  // The first of two parameters of one name takes the references.
  EXPECT_EQ(value_of(macro("twice", {lit_i(1), lit_i(100)})), I(2));
  // No shadowing test: the body's own let of a parameter name still reads
  // the argument.
  EXPECT_EQ(value_of(macro("shadow", {lit_i(7)})), I(7));
  // A binder named like a binding parameter takes the string literal's text.
  auto bound = expand_expr(table, macro("bind", {lit_s("renamed"), lit_i(1)}), 10);
  EXPECT_EQ(std::get<expr::ELet>(bound->node).name, "renamed");
  auto by_ref = expand_expr(table, macro("bind", {ref("s"), lit_i(1)}), 10);
  EXPECT_EQ(std::get<expr::ELet>(by_ref->node).name, "n");
  auto not_binding = expand_expr(table, macro("nobind", {lit_s("renamed"), lit_i(1)}), 10);
  EXPECT_EQ(std::get<expr::ELet>(not_binding->node).name, "n");
  // Record keys and annotations come through unchanged.
  auto keys = expand_expr(table, macro("keys", {ref("k")}), 10);
  const auto& r = std::get<expr::Rec>(keys->node);
  EXPECT_EQ(r.fields[0].key, "k");
  EXPECT_EQ(std::get<expr::MGet>(r.fields[0].val_expr->node).type_ann, VType::TStr);
  EXPECT_EQ(value_of(macro("keys", {ref("k")})), M({{"k", S("v")}}));
}

TEST(Expand, ExtractBindingName) {
  const std::vector<std::string> params = {"a", "b"};
  const std::vector<Expr> args = {lit_s("x"), lit_s("y")};
  EXPECT_EQ(extract_binding_name(params, args, {1}, "b"), "y");
  EXPECT_EQ(extract_binding_name(params, args, {1}, "a"), "a");
  EXPECT_EQ(extract_binding_name(params, args, {1}, "c"), "c");
  EXPECT_EQ(extract_binding_name(params, {lit_s("x")}, {1}, "b"), "b");
  EXPECT_EQ(extract_binding_name(params, {lit_s("x"), lit_i(1)}, {1}, "b"), "b");
  // A reference left without an argument stays as it is.
  Expr e = substitute({"a", "b"}, {lit_i(1)}, {}, add(ref("a"), ref("b")));
  const auto& sum = std::get<expr::Add>(e.node);
  EXPECT_EQ(std::get<expr::Lit>(sum.left->node).value, I(1));
  EXPECT_EQ(std::get<expr::Ref>(sum.right->node).name, "b");
  // A macro name is never a substitution point.
  Expr m = substitute({"f"}, {lit_i(1)}, {}, macro("f", {ref("f")}));
  const auto& call = std::get<expr::Macro>(m.node);
  EXPECT_EQ(call.name, "f");
  EXPECT_EQ(std::get<expr::Lit>(call.args[0].node).value, I(1));
}

}  // namespace
}  // namespace vostrel::kernel::expand
