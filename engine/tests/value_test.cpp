#include "engine/kernel/value.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vostrel::kernel
