// The module's C++ frame inside an embedded interpreter: the borrow guard
// (which no Python code can reach while it is held) and the converters on
// inputs too deep for a recursive walk.
#include <gtest/gtest.h>

#include <string>

#include "borrow.h"
#include "classes.h"
#include "convert.h"
#include "embed_support.h"
#include "object.h"

extern "C" PyObject* PyInit__core();

namespace vostrel::py {
namespace {

using kernel::Value;

using embed::take_error;

TEST(BorrowFlag, SharedAndExclusiveExcludeEachOther) {
  BorrowFlag flag;
  {
    Borrow a(flag, Access::Shared);
    Borrow b(flag, Access::Shared);
    ASSERT_TRUE(a && b);
    Borrow w(flag, Access::Exclusive);
    EXPECT_FALSE(w);
    EXPECT_EQ(take_error(), "RuntimeError: Already borrowed");
  }
  {
    Borrow w(flag, Access::Exclusive);
    ASSERT_TRUE(w);
    Borrow r(flag, Access::Shared);
    EXPECT_FALSE(r);
    EXPECT_EQ(take_error(), "RuntimeError: Already mutably borrowed");
    Borrow w2(flag, Access::Exclusive);
    EXPECT_FALSE(w2);
    EXPECT_EQ(take_error(), "RuntimeError: Already borrowed");
  }
  // Every guard released its borrow, refused ones included.
  Borrow w(flag, Access::Exclusive);
  EXPECT_TRUE(w);
}

TEST(Convert, MillionLevelsThereAndBack) {
  constexpr int kDepth = 1000000;
  Value deep = Value::integer(7);
  for (int i = 0; i < kDepth; ++i) {
    deep = i % 2 ? Value::list({std::move(deep)}) : Value::map({{"k", std::move(deep)}});
  }
  Ref py(value_to_py(deep));
  ASSERT_TRUE(py) << take_error();
  auto back = py_to_value(py.get());
  ASSERT_TRUE(back) << take_error();
  EXPECT_TRUE(*back == deep);
}

TEST(Convert, NothingHalfBuiltOnFailure) {
  Ref good(Py_BuildValue("{s:[i,i]}", "a", 1, 2));
  Ref bad(Py_BuildValue("[O,{s:d}]", good.get(), "x", 0.5));
  EXPECT_FALSE(py_to_value(bad.get()));
  EXPECT_EQ(take_error(), "ValueError: Vostrel values don't support floats");
}

}  // namespace
}  // namespace vostrel::py

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  PyImport_AppendInittab("_core", PyInit__core);
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  PyConfig_SetBytesString(&config, &config.home, VOSTREL_PYTHON_HOME);
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  int rc = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return rc;
}
