// Runs the shared reader reference cases of the routing and snapshot kinds
// through the documents' own readers and compares the outcome exactly; a
// successful read must write back as the case's canonical text.
#include <gtest/gtest.h>


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
    return outcome_of(read, [](const session::Snapshot& s) { return *session::snapshot_to_json(s); });
  }
  return "unsupported kind/format";
}

TEST(VectorsSessions, EveryCaseOfTheRoutingAndSnapshotKindsAgrees) {
  testing::expect_every_case_agrees({"routing", "dispatch_rule", "inbound_checks", "snapshot"},
                                    outcome);
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
    std::string bytes = *session::snapshot_to_msgpack(*read);
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
