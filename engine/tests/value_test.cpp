#include "engine/kernel/value.h"

#include <gtest/gtest.h>

#include "engine/kernel/check.h"

namespace vostrel::kernel {
namespace {

TEST(Value, EqualityIsStructural) {
  EXPECT_NE(Value::integer(1), Value::str("1"));
  EXPECT_EQ(Value::none(), Value::none());
  EXPECT_NE(Value::list({}), Value::map({}));
  Map a{{"b", Value::integer(1)}, {"a", Value::none()}};
  Map b{{"a", Value::none()}, {"b", Value::integer(1)}};
  EXPECT_EQ(Value::map(a), Value::map(b));
  b["a"] = Value::boolean(false);
  EXPECT_NE(Value::map(a), Value::map(b));
}

TEST(Value, CopiesAreIndependent) {
  Value original = Value::list({Value::str("x")});
  Value copy = original;
  copy.list_mut().push_back(Value::integer(2));
  copy.list_mut()[0].str_mut() += "y";
  EXPECT_EQ(original, Value::list({Value::str("x")}));
  EXPECT_EQ(copy, Value::list({Value::str("xy"), Value::integer(2)}));
}

TEST(Value, MapKeysInByteOrder) {
  Map m{{"b", {}}, {"a", {}}, {"B", {}}, {"ab", {}}};
  std::string order;
  for (const auto& [k, v] : m) order += k + ",";
  EXPECT_EQ(order, "B,a,ab,b,");
  Map u{{"\xc3\xa9", {}}, {"z", {}}};
  EXPECT_EQ(u.begin()->first, "z");
}

Value nest(int depth) {
  Value v = Value::none();
  for (int i = 0; i < depth; ++i) {
    v = (i % 2) ? Value::list({std::move(v)}) : Value::map({{"k", std::move(v)}});
  }
  return v;
}

TEST(Value, MillionLevelsCompareCopyAndDie) {
  Value deep = nest(1000000);
  Value other = nest(1000000);
  Value copy = deep;
  EXPECT_EQ(deep, other);
  EXPECT_EQ(deep, copy);
  Value different = nest(999999);
  EXPECT_NE(deep, different);
}

// The log writes in place, and records it, only when the working value and
// the kept one are the payload's only holders; with a third holder the
// working value copies on write and the kept value never sees the write.
TEST(UndoLog, WritesInPlaceOnlyWhenTheTwoAloneHoldThePayload) {
  const Value list_before = Value::list({Value::str("a")});
  const Value map_before = Value::map({{"k", Value::integer(1)}, {"gone", Value::none()}});
  auto write = [](UndoLog& log, Value& list, Value& kept_list, Value& map, Value& kept_map) {
    log.push_back(list, kept_list, Value::str("b"));
    log.insert_or_assign(map, kept_map, "k", Value::integer(2));
    log.insert_or_assign(map, kept_map, "new", Value::integer(3));
    log.erase(map, kept_map, "gone");
  };
  const Value list_after = Value::list({Value::str("a"), Value::str("b")});
  const Value map_after = Value::map({{"k", Value::integer(2)}, {"new", Value::integer(3)}});
  for (bool third_holder : {false, true}) {
    Value kept_list = Value::list({Value::str("a")});
    Value kept_map = Value::map({{"k", Value::integer(1)}, {"gone", Value::none()}});
    Value other_list = third_holder ? kept_list : Value();
    Value other_map = third_holder ? kept_map : Value();
    {
      UndoLog log;  // declared first: it rolls back after the working values die
      Value list = kept_list;
      Value map = kept_map;
      write(log, list, kept_list, map, kept_map);
      EXPECT_EQ(list, list_after);
      EXPECT_EQ(map, map_after);
      EXPECT_EQ(log.empty(), third_holder);
      EXPECT_EQ(list.same_payload(kept_list), !third_holder);
      EXPECT_EQ(kept_list == list_after, !third_holder) << "in place: seen until rolled back";
    }
    EXPECT_EQ(kept_list, list_before);
    EXPECT_EQ(kept_map, map_before);
  }
}

// A state written in place: a slot's kept value is its value before the
// first write, against which its payload writes are measured. Rolling back
// puts the kept values back and removes added slots before it undoes the
// payload writes; committing keeps everything.
TEST(UndoLog, WritesAStateInPlace) {
  const Value a = Value::str("a");
  const Value b = Value::str("b");
  for (bool commit : {false, true}) {
    Env env{{"log", Value::list({a})}};
    const List* payload = &env.at("log").as_list();
    {
      UndoLog log;
      Value& slot = env.at("log");
      Value& kept = log.keep_slot(slot);
      EXPECT_EQ(&log.keep_slot(slot), &kept);
      Value working = std::move(slot);  // as an update takes the slot it replaces
      log.push_back(working, kept, b);
      slot = std::move(working);
      log.add_slot(env, "added", Value::integer(1));
      EXPECT_EQ(&env.at("log").as_list(), payload);
      if (commit) log.commit();
    }
    const Env kept_writes{{"added", Value::integer(1)}, {"log", Value::list({a, b})}};
    const Env as_before{{"log", Value::list({a})}};
    EXPECT_EQ(env, commit ? kept_writes : as_before);
    EXPECT_EQ(&env.at("log").as_list(), payload);
  }
}

#if VOSTREL_CHECKS
// Rolling back a payload that something beside the kept value still holds
// would change that holder too: debug and sanitizer builds stop there.
TEST(UndoLogDeathTest, RollbackNeedsTheKeptValueToHoldThePayloadAlone) {
  EXPECT_DEATH(
      {
        Value kept = Value::list({});
        Value working = kept;
        UndoLog log;
        log.push_back(working, kept, Value::integer(1));
        log.rollback();
      },
      "a rolled-back payload is held by its kept value alone");
}
#endif

}  // namespace
}  // namespace vostrel::kernel
