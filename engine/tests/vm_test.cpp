#include "engine/kernel/vm.h"

#include <gtest/gtest.h>

#include <limits>

#include "engine/tests/kernel_builders.h"

namespace vostrel::kernel {
namespace {

using namespace build;
using vm::eval;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct EvalCase {
  const char* what;
  Expr expr;
  Value expected;
};

void run_cases(const Env& env, const std::vector<EvalCase>& cases) {
  for (const EvalCase& c : cases) EXPECT_EQ(eval(env, c.expr), c.expected) << c.what;
}

TEST(Eval, IntegerArithmetic) {
  run_cases({}, {
      {"add", add(lit_i(2), lit_i(3)), I(5)},
      {"add wraps", add(lit_i(kMax), lit_i(1)), I(kMin)},
      {"mul wraps", mul(lit_i(kMax), lit_i(2)), I(-2)},
      {"mul of min by -1 wraps", mul(lit_i(kMin), lit_i(-1)), I(kMin)},
      {"div truncates", div(lit_i(-7), lit_i(2)), I(-3)},
      {"mod has the sign of the left", mod(lit_i(-7), lit_i(2)), I(-1)},
      {"mod by negative", mod(lit_i(7), lit_i(-2)), I(1)},
      {"div by zero", div(lit_i(7), lit_i(0)), N()},
      {"mod by zero", mod(lit_i(7), lit_i(0)), N()},
      {"div by non-int", div(lit_i(7), lit_s("1")), N()},
      {"mod by none", mod(lit_i(7), lit(N())), N()},
      {"div of min by -1", div(lit_i(kMin), lit_i(-1)), I(kMin)},
      {"mod of min by -1", mod(lit_i(kMin), lit_i(-1)), I(0)},
      {"mod by -1", mod(lit_i(5), lit_i(-1)), I(0)},
      {"add of str", add(lit_s("a"), lit_i(1)), N()},
      {"gt", gt(lit_i(2), lit_i(1)), B(true)},
      {"gt signed", gt(lit_i(-1), lit_i(0)), B(false)},
      {"gt equal", gt(lit_i(2), lit_i(2)), B(false)},
      {"gt of strings", gt(lit_s("b"), lit_s("a")), N()},
  });
}

TEST(Eval, Equality) {
  run_cases({}, {
      {"int vs str", eq(lit_i(1), lit_s("1")), B(false)},
      {"none vs none", eq(lit(N()), lit(N())), B(true)},
      {"none vs false", eq(lit(N()), lit_b(false)), B(false)},
      {"list order", eq(lit(L({I(1), I(2)})), lit(L({I(2), I(1)}))), B(false)},
      {"equal lists", eq(lit(L({I(1), S("x")})), lit(L({I(1), S("x")}))), B(true)},
      {"maps", eq(lit(M({{"a", I(1)}})), lit(M({{"a", I(1)}}))), B(true)},
      {"empty list vs empty map", eq(lit(L()), lit(M())), B(false)},
      {"macro is none", eq(macro("lt", {lit_i(1), lit_i(2)}), lit(N())), B(true)},
  });
}

TEST(Eval, NamesListsMapsAndStrings) {
  const Env env{{"n", I(5)},
                {"none", N()},
                {"m", M({{"n", I(5)}, {"b", S("x")}})},
                {"l", L({I(1)})}};
  run_cases(env, {
      {"ref", ref("n"), I(5)},
      {"ref bound to none", ref("none"), N()},
      {"ref unbound", ref("zz"), N()},
      {"append none", lappend(lit(L()), lit(N())), L({N()})},
      {"append", lappend(ref("l"), lit_i(2)), L({I(1), I(2)})},
      {"append to non-list", lappend(ref("n"), lit_i(2)), N()},
      {"put", mput(ref("m"), lit_s("c"), lit_i(1)),
       M({{"n", I(5)}, {"b", S("x")}, {"c", I(1)}})},
      {"put replaces", mput(ref("m"), lit_s("n"), lit_i(6)), M({{"n", I(6)}, {"b", S("x")}})},
      {"put non-str key", mput(ref("m"), lit_i(1), lit_i(6)), N()},
      {"put on non-map", mput(ref("l"), lit_s("k"), lit_i(6)), N()},
      {"get", mget(ref("m"), lit_s("n")), I(5)},
      {"get annotated", mget(ref("m"), lit_s("n"), VType::TInt), I(5)},
      {"get annotation mismatch", mget(ref("m"), lit_s("n"), VType::TStr), N()},
      {"get absent", mget(ref("m"), lit_s("q")), N()},
      {"get absent annotated", mget(ref("m"), lit_s("q"), VType::TStr), N()},
      {"get on list", mget(ref("l"), lit_s("n")), N()},
      {"del", mdel(ref("m"), lit_s("n")), M({{"b", S("x")}})},
      {"del absent", mdel(ref("m"), lit_s("q")), M({{"n", I(5)}, {"b", S("x")}})},
      {"del non-str key", mdel(ref("m"), lit(N())), N()},
      {"keys in byte order",
       mkeys(lit(M({{"b", N()}, {"B", N()}, {"a", N()}, {"ab", N()}}))),
       L({S("B"), S("a"), S("ab"), S("b")})},
      {"keys of list", mkeys(ref("l")), N()},
      {"rec last key wins", rec({{"k", lit_i(1)}, {"k", lit_i(2)}}), M({{"k", I(2)}})},
      {"rec empty", rec({}), M()},
      {"strcat", strcat(lit_s("ab"), lit_s("c\xc3\xa9")), S("abc\xc3\xa9")},
      {"strcat non-str", strcat(lit_s("ab"), lit_i(1)), N()},
      {"macro inside", add(lit_i(1), macro("x")), N()},
  });
  // The environment is only read.
  EXPECT_EQ(env.at("l"), L({I(1)}));
  EXPECT_EQ(env.at("m"), M({{"n", I(5)}, {"b", S("x")}}));
}

TEST(Eval, ConditionalsAndScopes) {
  const Env env{{"x", I(1)}, {"xs", L({I(1), I(2), I(3)})}};
  run_cases(env, {
      {"if true", if_else(lit_b(true), lit_i(1), lit_i(2)), I(1)},
      {"if false", if_else(lit_b(false), lit_i(1), lit_i(2)), I(2)},
      {"if int", if_else(lit_i(1), lit_i(1), lit_i(2)), N()},
      {"if none", if_else(lit(N()), lit_i(1), lit_i(2)), N()},
      {"let", let("y", lit_i(2), add(ref("x"), ref("y"))), I(3)},
      {"inner let hides outer",
       let("x", lit_i(1), rec({{"in", let("x", lit_i(2), ref("x"))}, {"out", ref("x")}})),
       M({{"in", I(2)}, {"out", I(1)}})},
      {"let value sees the outer name", let("x", add(ref("x"), lit_i(10)), ref("x")), I(11)},
      {"let to none hides", let("x", lit(N()), ref("x")), N()},
      {"fold sum", fold(ref("xs"), lit_i(0), "a", "i", add(ref("a"), ref("i"))), I(6)},
      {"fold same names see the item", fold(ref("xs"), lit_i(0), "v", "v", ref("v")), I(3)},
      {"fold empty gives init", fold(lit(L()), lit_s("z"), "a", "i", lit_i(1)), S("z")},
      {"fold over non-list", fold(ref("x"), lit_i(0), "a", "i", lit_i(1)), N()},
      {"fold body none is kept", fold(ref("xs"), lit_i(0), "a", "i", lit(N())), N()},
      {"fold scope is fresh per element",
       fold(ref("xs"), lit(L()), "a", "i",
            lappend(ref("a"), let("t", ref("i"), ref("t")))),
       L({I(1), I(2), I(3)})},
      {"fold body sees outer names",
       fold(ref("xs"), lit_i(0), "a", "i", add(ref("a"), ref("x"))), I(3)},
  });
}

// Growing an accumulator or a slot in place must never be visible through
// another name that still holds the old value.
TEST(Eval, InPlaceGrowthKeepsOtherHoldersIntact) {
  const Env env{{"xs", L({I(1), I(2)})}};
  run_cases(env, {
      {"acc appended to itself",
       fold(ref("xs"), lit(L()), "a", "i", lappend(ref("a"), ref("a"))),
       L({L(), L({L()})})},
      {"item reads acc before it grows",
       fold(ref("xs"), lit(L()), "a", "i", lappend(ref("a"), rec({{"seen", ref("a")}}))),
       L({M({{"seen", L()}}), M({{"seen", L({M({{"seen", L()}})})}})})},
      {"append to an outer list inside a fold",
       fold(ref("xs"), lit_i(0), "a", "i", lappend(ref("xs"), ref("i"))), L({I(1), I(2), I(2)})},
      {"let bound list grows, outer name unchanged",
       let("ys", ref("xs"), rec({{"ys", lappend(ref("ys"), lit_i(3))}, {"xs", ref("xs")}})),
       M({{"ys", L({I(1), I(2), I(3)})}, {"xs", L({I(1), I(2)})}})},
      {"put into acc while the key reads acc",
       fold(ref("xs"), lit(M()), "a", "i", mput(ref("a"), strcat(lit_s("k"), lit_s("")),
                                                 rec({{"old", ref("a")}}))),
       M({{"k", M({{"old", M({{"k", M({{"old", M()}})}})}})}})},
      {"del from acc",
       fold(ref("xs"), lit(M({{"a", I(1)}, {"b", I(2)}})), "a", "i", mdel(ref("a"), lit_s("a"))),
       M({{"b", I(2)}})},
      {"get from acc record",
       fold(ref("xs"), rec({{"r", lit(L())}}), "a", "i",
            rec({{"r", lappend(mget(ref("a"), lit_s("r"), VType::TList), ref("i"))}})),
       M({{"r", L({I(1), I(2)})}})},
  });
  EXPECT_EQ(env.at("xs"), L({I(1), I(2)}));
}

TEST(Eval, DeepFoldOfLongListIsLinear) {
  List items;
  for (int i = 0; i < 200000; ++i) items.push_back(I(i));
  const Env env{{"xs", L(std::move(items))}};
  // A quadratic accumulator would take minutes here.
  Value copied = eval(env, fold(ref("xs"), lit(L()), "a", "i", lappend(ref("a"), ref("i"))));
  ASSERT_TRUE(copied.is_list());
  EXPECT_EQ(copied.as_list().size(), 200000u);
  EXPECT_EQ(copied, env.at("xs"));
}

TEST(BindEvent, FieldsHideSlots) {
  const Env slots{{"x", I(1)}, {"y", I(2)}};
  const Env data{{"x", S("f")}, {"z", N()}};
  EXPECT_EQ(vm::bind_event(slots, data), (Env{{"x", S("f")}, {"y", I(2)}, {"z", N()}}));
}

TransducerDef td(std::string name, std::vector<Rule> rules, std::vector<SlotDef> slots = {}) {
  return TransducerDef{std::move(name), std::move(slots), std::move(rules)};
}

TEST(ExecTransducer, TagsGuardsAndOrder) {
  const TransducerDef t = td(
      "t", {
               rule("UserMessage", lit_b(true), {upd("n", add(ref("n"), lit_i(1)))}),
               rule("UserMessage", gt(ref("n"), lit_i(1)), {upd("big", lit_b(true))}),
               rule("UserMessage", lit_i(1), {upd("int_guard", lit_b(true))}),
               rule("UserMessage", lit(N()), {upd("none_guard", lit_b(true))}),
               rule("UserMessage", lit_s("true"), {upd("str_guard", lit_b(true))}),
           });
  const Env env{{"n", I(1)}};
  auto [effects, out] = vm::exec_transducer(t, env, "UserMessage", {});
  EXPECT_TRUE(effects.empty());
  EXPECT_EQ(out, (Env{{"n", I(2)}, {"big", B(true)}}));
  for (const char* tag : {"usermessage", "UserMessageX", "User", ""}) {
    auto [e2, o2] = vm::exec_transducer(t, env, tag, {});
    EXPECT_EQ(o2, env) << tag;
  }
  EXPECT_EQ(env, (Env{{"n", I(1)}}));
}

TEST(ExecTransducer, UpdatesSeeEarlierUpdatesAndFieldsWin) {
  const TransducerDef t = td(
      "t", {rule("E", lit_b(true),
                 {upd("a", add(ref("a"), lit_i(1))), upd("b", ref("a")), upd("x", lit_i(9)),
                  upd("seen_x", ref("x"))},
                 {rec({{"a", ref("a")}, {"b", ref("b")}, {"x", ref("x")}})})});
  const Env env{{"a", I(1)}, {"x", I(0)}};
  auto [effects, out] = vm::exec_transducer(t, env, "E", {{"x", S("field")}});
  EXPECT_EQ(out, (Env{{"a", I(2)}, {"b", I(2)}, {"x", I(9)}, {"seen_x", S("field")}}));
  ASSERT_EQ(effects.size(), 1u);
  EXPECT_EQ(effects[0], M({{"a", I(2)}, {"b", I(2)}, {"x", S("field")}}));
}

TEST(ExecTransducer, EmitsFlattenOneLevelAndDropNone) {
  const TransducerDef t =
      td("t", {rule("E", lit_b(true), {},
                    {lit(L({I(1), L({I(2)}), N()})), lit(N()), lit(L()), lit_s("s")})});
  auto [effects, out] = vm::exec_transducer(t, {}, "E", {});
  EXPECT_EQ(effects, (std::vector<Value>{I(1), L({I(2)}), N(), S("s")}));
  EXPECT_TRUE(out.empty());
}

TEST(ExecTransducer, SlotGrowsInPlaceWithoutTouchingOtherHolders) {
  const TransducerDef t = td(
      "t", {rule("E", lit_b(true),
                 {upd("h", lappend(ref("h"), ref("h"))), upd("h", lappend(ref("h"), lit_i(7))),
                  upd("m", mput(ref("m"), lit_s("k"), ref("m"))), upd("m", mdel(ref("m"), lit_s("z"))),
                  upd("q", lappend(ref("h"), lit_i(0)))})});
  const Env env{{"h", L({I(1)})}, {"m", M({{"z", I(1)}})}};
  auto [effects, out] = vm::exec_transducer(t, env, "E", {});
  const Value h = L({I(1), L({I(1)}), I(7)});
  EXPECT_EQ(out.at("h"), h);
  EXPECT_EQ(out.at("m"), M({{"k", M({{"z", I(1)}})}}));
  EXPECT_EQ(out.at("q"), L({I(1), L({I(1)}), I(7), I(0)}));
  EXPECT_EQ(env.at("h"), L({I(1)}));
  EXPECT_EQ(env.at("m"), M({{"z", I(1)}}));
  // An update of a slot that the event's fields hide reads the field.
  auto [e2, o2] = vm::exec_transducer(t, env, "E", {{"h", L({I(5)})}});
  EXPECT_EQ(o2.at("h"), L({I(5), I(7)}));
}

TEST(ExecSession, MovedStateIsExtendedInPlace) {
  const std::vector<TransducerDef> ts = {
      td("t", {rule("E", lit_b(true), {upd("h", lappend(ref("h"), ref("item")))},
                    {rec({{"context", ref("h")}})})})};
  List history;
  history.reserve(16);
  history.push_back(I(0));
  Env env{{"h", L(std::move(history))}};
  const List* payload = &env.at("h").as_list();
  auto [effects, out] = vm::exec_session(ts, std::move(env), "E", {{"item", I(1)}});
  EXPECT_EQ(&out.at("h").as_list(), payload);
  EXPECT_EQ(out.at("h"), L({I(0), I(1)}));
  ASSERT_EQ(effects.size(), 1u);
  EXPECT_EQ(effects[0], M({{"context", L({I(0), I(1)})}}));
}

TEST(ExecSession, TransducersInOrderShareSlots) {
  const std::vector<TransducerDef> ts = {
      td("a", {rule("E", lit_b(true), {upd("s", lit_i(1))}, {lit_s("a1"), ref("s")})}),
      td("b", {rule("E", lit_b(true), {upd("s", add(ref("s"), lit_i(1))), upd("new", ref("s"))},
                    {lit_s("b1")})}),
  };
  const Env env{{"s", I(0)}};
  auto [effects, out] = vm::exec_session(ts, env, "E", {});
  EXPECT_EQ(effects, (std::vector<Value>{S("a1"), I(1), S("b1")}));
  EXPECT_EQ(out, (Env{{"new", I(2)}, {"s", I(2)}}));
  EXPECT_EQ(env, (Env{{"s", I(0)}}));
  auto [none, same] = vm::exec_session({}, env, "E", {});
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(same, env);
}

}  // namespace
}  // namespace vostrel::kernel
