// Runs the shared reader reference cases of the routing and snapshot kinds
// through the documents' own readers and compares the outcome exactly; a
// successful read must write back as the case's canonical text.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "engine/kernel/routing.h"
#include "engine/kernel/routing_io.h"
#include "engine/session.h"
#include "engine/tests/vectors.h"

namespace vostrel {
namespace {

// "OK <written text>" or "ERR <message>"; "OK" alone when there is no writer.
template <class T, class Write>
std::string outcome_of(const Result<T>& read, Write write) {
  if (!read) return "ERR " + read.error();
  if constexpr (std::is_same_v<Write, std::nullptr_t>) {
    return "OK";
  } else {
    return "OK " + write(*read);
  }
}

std::string outcome(const testing::VectorCase& c) {
  bool json = c.format == "json";
  if (c.kind == "routing" && json) {
    return outcome_of(kernel::routing_from_json(c.input), kernel::routing_to_json);
  }
  if (c.kind == "inbound_checks" && json) {
    return outcome_of(kernel::inbound_checks_from_json(c.input), kernel::inbound_checks_to_json);
  }
  if (c.kind == "dispatch_rule" && json) {
    return outcome_of(codec::from_json<kernel::DispatchRule>(c.input), nullptr);
  }
  if (c.kind == "snapshot") {
    auto read = json ? session::snapshot_from_json(c.input) : session::snapshot_from_msgpack(c.input);
    return outcome_of(read, session::snapshot_to_json);
  }
  return "unsupported kind/format";
}

// The one deliberate difference these kinds meet (see vectors_kernel_test.cpp
// and codec_rules_test.cpp): the Value reader names a JSON null "unit value"
// in its type errors, where the other readers say "null".
bool null_named_unit_value(const testing::VectorCase& c, const std::string& got) {
  if (c.format != "json" || c.ok()) return false;
  std::string want = c.expect;
  constexpr std::string_view null = "invalid type: null, ";
  auto at = want.find(null);
  if (at == std::string::npos) return false;
  want.replace(at, null.size(), "invalid type: unit value, ");
  return got == want;
}

TEST(VectorsSessions, EveryCaseOfTheRoutingAndSnapshotKindsAgrees) {
  const char* kinds[] = {"routing", "dispatch_rule", "inbound_checks", "snapshot"};
  std::map<std::string, std::pair<int, int>> tally;  // kind/format -> (passed, total)
  int failures = 0;
  int unit_values = 0;
  for (const char* kind : kinds) {
    auto cases = testing::vector_cases(kind);
    EXPECT_FALSE(cases.empty()) << "no cases of kind " << kind;
    for (const auto& c : cases) {
      std::string got = outcome(c);
      bool pass = got == c.expect || (c.ok() && got == "OK");
      if (!pass && null_named_unit_value(c, got)) {
        pass = true;
        ++unit_values;
      }
      auto& t = tally[c.kind + "/" + c.format];
      ++t.second;
      if (pass) {
        ++t.first;
      } else if (++failures <= 60) {
        ADD_FAILURE() << c.id << "\n  input:    " << (c.format == "json" ? c.input : "(bytes)")
                      << "\n  expected: " << c.expect << "\n  got:      " << got;
      }
    }
  }
  for (const auto& [k, t] : tally) std::printf("vectors %-24s %d/%d\n", k.c_str(), t.first, t.second);
  std::printf("vectors known difference (%d): a JSON null read as a Value is a \"unit value\"\n",
              unit_values);
  EXPECT_EQ(failures, 0);
}

// Every snapshot read from the cases, written in MessagePack and read back,
// is the same snapshot; the MessagePack writer's form is an array of three.
TEST(VectorsSessions, SnapshotsReadFromTheCasesRoundTripThroughMessagePack) {
  int checked = 0;
  for (const auto& c : testing::vector_cases("snapshot")) {
    if (!c.ok()) continue;
    auto read = c.format == "json" ? session::snapshot_from_json(c.input)
                                   : session::snapshot_from_msgpack(c.input);
    ASSERT_TRUE(read.has_value()) << c.id;
    std::string bytes = session::snapshot_to_msgpack(*read);
    ASSERT_EQ(static_cast<unsigned char>(bytes[0]), 0x93u) << c.id;
    auto back = session::snapshot_from_msgpack(bytes);
    ASSERT_TRUE(back.has_value()) << c.id << ": " << back.error();
    EXPECT_EQ(*back, *read) << c.id;
    ++checked;
  }
  EXPECT_GT(checked, 50);
}

}  // namespace
}  // namespace vostrel
