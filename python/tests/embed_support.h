// Helpers of the tests that run inside the embedded interpreter.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "borrow.h"
#include "object.h"

namespace vostrel::py::embed {

// The pending exception as "Type: text", cleared ("" when none).
inline std::string take_error() {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return "";
  Ref owned(exc);
  Ref text(PyObject_Str(exc));
  std::string out = Py_TYPE(exc)->tp_name;
  out += ": ";
  if (text) out += PyUnicode_AsUTF8(text.get());
  return out;
}

struct Member {
  const char* name;
  const char* args;  // Py_BuildValue format of the argument tuple; null for a getter
  bool mutates;
};

// Calls one member (its arguments built from `args` and the texts that
// follow) and returns what it raised ("" for a success).
using MemberCall = std::string (*)(PyObject* obj, const Member& m);

// Holds the object's borrow flag while Python calls each member: under an
// exclusive borrow every member is refused (readers with "Already mutably
// borrowed"), under a shared one the readers run and the mutating members
// are refused with "Already borrowed"; once the flag is free again the
// member runs (where `engine_may_refuse`, an engine refusal counts as run).
template <class Body>
void check_borrows(PyObject* obj, const std::vector<Member>& members, MemberCall call,
                   bool engine_may_refuse = false) {
  ASSERT_TRUE(obj && is_instance<Body>(obj));
  BorrowFlag& flag = body_of<Body>(obj).borrow;
  for (const Member& m : members) {
    SCOPED_TRACE(m.name);
    {
      Borrow held(flag, Access::Exclusive);
      ASSERT_TRUE(held);
      EXPECT_EQ(call(obj, m), m.mutates ? "RuntimeError: Already borrowed"
                                        : "RuntimeError: Already mutably borrowed");
    }
    {
      Borrow held(flag, Access::Shared);
      ASSERT_TRUE(held);
      EXPECT_EQ(call(obj, m), m.mutates ? "RuntimeError: Already borrowed" : "");
    }
    std::string raised = call(obj, m);
    if (engine_may_refuse) {
      EXPECT_TRUE(raised.empty() || raised.starts_with("ValueError: ")) << raised;
    } else {
      EXPECT_EQ(raised, "");
    }
  }
}

}  // namespace vostrel::py::embed
