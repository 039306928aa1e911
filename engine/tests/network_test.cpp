#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/coordinator_fold.h"
#include "engine/kernel/network.h"
#include "engine/tests/coordinator_checks.h"

namespace vostrel::coordinator_fold {
namespace {

namespace ev = kernel::network_event;
namespace rq = kernel::network_request;
using kernel::CoordinatedSession;
using kernel::CoordinatorError;
using kernel::Route;
using kernel::SessionStatus;

NetworkSession boot(NetworkConfig config) {
  auto made = from_config(std::move(config));
  EXPECT_TRUE(made.has_value()) << (made ? "" : made.error().display());
  return std::move(*made);
}

// The requests of one fold; network turns carry no checks, so every request
// must come out as a plain dispatch.
std::vector<NetworkRequest> fold(NetworkSession& s, NetworkEvent event) {
  std::vector<NetworkRequest> out;
  for (auto& classified : fold_network_event(s, std::move(event)).requests) {
    auto* plain = std::get_if<unified_session::Dispatch<NetworkRequest>>(&classified);
    EXPECT_NE(plain, nullptr) << "unexpected checked request";
    if (plain != nullptr) out.push_back(plain->request);
  }
  return out;
}

std::vector<NetworkRequest> run(std::string_view agent) {
  return {rq::AgentRequest{std::string(agent)}};
}

SessionStatus status(const NetworkSession& s, std::string_view id) {
  const CoordinatedSession* record = s.state.coordinator.session(id);
  EXPECT_NE(record, nullptr) << id;
  return record ? record->status : SessionStatus::Idle;
}

void expect_consistent(const NetworkSession& s) {
  EXPECT_EQ(kernel::testing::invariant_violation(s.state.coordinator), "");
}

TEST(NetworkEvent, TagsInsertNamesUnescaped) {
  const std::vector<std::pair<NetworkEvent, std::string>> cases = {
      {ev::UserMessage{"ignored"}, "UserMessage"},
      {ev::RegisterAgent{"a"}, "RegisterAgent:a"},
      {ev::StartAgent{"a"}, "StartAgent:a"},
      {ev::AgentDone{"a"}, "AgentDone:a"},
      {ev::ResetAgent{"a"}, "ResetAgent:a"},
      {ev::DelegationRequested{"p", "c"}, "DelegationRequested:p:c"},
      {ev::DelegationComplete{"p", "c"}, "DelegationComplete:p:c"},
      {ev::DelegationFailed{"p", "c"}, "DelegationFailed:p:c"},
      {ev::HandoffRequested{"s", "d"}, "HandoffRequested:s:d"},
      {ev::HandoffComplete{"s", "d"}, "HandoffComplete:s:d"},
      {ev::AgentFailed{"a"}, "AgentFailed:a"},
      {ev::DelegationRequested{"x:y", ""}, "DelegationRequested:x:y:"},
      {ev::RegisterAgent{"\"q\"\n"}, "RegisterAgent:\"q\"\n"},
  };
  for (const auto& [event, tag] : cases) {
    EXPECT_EQ(kernel::network_event_tag(event), tag);
    EXPECT_EQ(CoordinatorFold{}.event_tag(event), tag);
  }
  EXPECT_EQ(NetworkEvent(ev::AgentFailed{"a"}).index(), 10u);
}

TEST(NetworkFold, Classifiers) {
  EXPECT_EQ(network_classify_fn(rq::AgentRequest{"a:b"}), "AgentRequest:a:b");
  EXPECT_EQ(network_classify_fn(rq::CollectAgentResult{"a"}), "CollectAgentResult:a");
  EXPECT_EQ(network_classify_result_fn(ev::DelegationComplete{"p", "c"}), "AgentRequest:c");
  EXPECT_EQ(network_classify_result_fn(ev::HandoffComplete{"s", "d"}), "AgentRequest:d");
  for (NetworkEvent e : std::vector<NetworkEvent>{
           ev::UserMessage{}, ev::RegisterAgent{"a"}, ev::DelegationRequested{"p", "c"},
           ev::DelegationFailed{"p", "c"}, ev::HandoffRequested{"s", "d"}, ev::AgentFailed{"a"}}) {
    EXPECT_EQ(network_classify_result_fn(e), std::nullopt) << kernel::network_event_tag(e);
  }
}

TEST(NetworkError, DisplayTexts) {
  using K = NetworkError::Kind;
  EXPECT_EQ(NetworkError::from({CoordinatorError::Kind::SelfReference, "", ""}).display(),
            "coordinator: cannot reference self");
  EXPECT_EQ(NetworkError::from({CoordinatorError::Kind::NoRoute, "a", "b"}).display(),
            "coordinator: no route from a to b");
  EXPECT_EQ((NetworkError{K::NoActiveAgent, {}, "", ""}).display(), "no active agent set");
  EXPECT_EQ((NetworkError{K::ActiveAgentNotIdle, {}, "a", ""}).display(), "active agent not idle: a");
  EXPECT_EQ((NetworkError{K::NoHandoffRoute, {}, "a", "b"}).display(),
            "no handoff route from a to b");
  EXPECT_EQ((NetworkError{K::HandoffTargetNotIdle, {}, "a", ""}).display(),
            "handoff target not idle: a");
  EXPECT_EQ((NetworkError{K::HandoffTargetIsDelegationChild, {}, "a", ""}).display(),
            "handoff target is a delegation child: a");
}

TEST(NetworkConnections, ConfigEventsAndRouting) {
  using kernel::ConnectionDef;
  namespace ce = kernel::network_config_event;
  ConnectionMap empty;
  ConnectionDef b{"b", "Ask", "Answer", "guard", "agent", true};
  ConnectionMap one = kernel::handle_network_config_event(empty, ce::AddConnection{b});
  EXPECT_TRUE(empty.empty());
  ConnectionDef a{"a", "Run", "Ran", "", "agent", true};  // needs a check but names none
  ConnectionMap two = kernel::handle_network_config_event(one, ce::AddConnection{a});
  ConnectionDef b2{"b", "Ask2", "Answer2", "", "tool", false};
  ConnectionMap replaced = kernel::handle_network_config_event(two, ce::AddConnection{b2});
  EXPECT_EQ(replaced.at("b"), b2);
  EXPECT_EQ(two.at("b"), b);
  EXPECT_EQ(kernel::handle_network_config_event(two, ce::RemoveConnection{"zz"}), two);
  EXPECT_EQ(kernel::handle_network_config_event(two, ce::RemoveConnection{"b"}),
            (ConnectionMap{{"a", a}}));

  kernel::RoutingConfig routing = network_derive_routing(two);
  EXPECT_EQ(routing.dispatch_rules,
            (std::vector<kernel::DispatchRule>{{"Run", "Ran"}, {"Ask", "Answer"}}));
  EXPECT_EQ(routing.outbound_checks, (std::vector<kernel::OutboundCheckRule>{{"Ask", "guard"}}));
  EXPECT_TRUE(routing.inbound_checks.empty());
}

TEST(NetworkBoot, NothingToCreate) {
  NetworkSession s = boot({{"a"}, {{"a", "c"}}, {}, "", {}, {}});
  EXPECT_TRUE(s.state.coordinator.sessions().empty());
  EXPECT_TRUE(s.state.coordinator.routes().empty());
  EXPECT_EQ(s.state.active_agent, "");
  EXPECT_EQ(s.routing.dispatch_rules, (std::vector<kernel::DispatchRule>{{"AgentRequest", "AgentResult"}}));
  EXPECT_EQ(s.fold.connections.at("c"),
            (kernel::ConnectionDef{"c", "AgentRequest", "AgentResult", "", "agent", false}));
  EXPECT_TRUE(s.pending.empty());
  EXPECT_TRUE(s.event_log.empty());
  EXPECT_EQ(s.events_processed, 0u);

  // The parent is no session, so the route cannot be added and the child
  // made for it goes again; the request is still issued.
  EXPECT_EQ(fold(s, ev::DelegationRequested{"a", "c"}), run("c"));
  EXPECT_TRUE(s.state.coordinator.sessions().empty());
  EXPECT_TRUE(s.state.coordinator.routes().empty());
  EXPECT_EQ(s.event_log, (std::vector<std::string>{"DelegationRequested:a:c"}));
  EXPECT_EQ(s.events_processed, 1u);
}

TEST(NetworkBoot, HandoffEndsCreatedDelegationNeedsBothEnds) {
  NetworkSession s = boot({{}, {{"a", "c"}}, {{"a", "b"}}, "", {}, {}});
  const auto& co = s.state.coordinator;
  EXPECT_NE(co.session("a"), nullptr);
  EXPECT_NE(co.session("b"), nullptr);
  EXPECT_EQ(co.session("c"), nullptr);
  EXPECT_EQ(co.routes(), (std::set<Route>{{"a", "b", "HandoffRequest", "HandoffResult"}}));
  EXPECT_EQ(s.routing.dispatch_rules, (std::vector<kernel::DispatchRule>{
                                          {"AgentRequest", "AgentResult"}, {"AgentRequest", "AgentResult"}}));
  EXPECT_EQ(s.fold.connections.size(), 2u);
  EXPECT_TRUE(s.routing.outbound_checks.empty());
  EXPECT_TRUE(s.routing.inbound_checks.empty());
}

TEST(NetworkBoot, EntryPointAndDelegationRoutes) {
  // e exists from the entry point, x and f from the handoff; e->f and f->e
  // become delegation routes, e->g is skipped, a repeated target is one
  // connection, and e->e is refused quietly.
  NetworkSession s = boot(
      {{}, {{"e", "f"}, {"e", "g"}, {"f", "e"}, {"e", "e"}, {"x", "f"}}, {{"x", "f"}}, "e", {}, {}});
  const auto& co = s.state.coordinator;
  EXPECT_EQ(s.state.active_agent, "e");
  EXPECT_EQ(co.sessions().size(), 3u);
  EXPECT_EQ(*co.session("e"), CoordinatedSession{});
  EXPECT_EQ(co.routes(), (std::set<Route>{{"e", "f", "DelegationRequest", "DelegationResult"},
                                          {"f", "e", "DelegationRequest", "DelegationResult"},
                                          {"x", "f", "DelegationRequest", "DelegationResult"},
                                          {"x", "f", "HandoffRequest", "HandoffResult"}}));
  std::vector<std::string> names;
  for (const auto& [name, c] : s.fold.connections) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"e", "f", "g"}));
  EXPECT_EQ(s.routing.dispatch_rules.size(), 3u);
}

TEST(NetworkBoot, SelfHandoffRefused) {
  auto made = from_config({{}, {}, {{"a", "b"}, {"c", "c"}, {"a", "a"}}, "", {}, {}});
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().display(), "coordinator: cannot reference self");
  EXPECT_EQ(made.error(), NetworkError::from({CoordinatorError::Kind::SelfReference, "", ""}));
}

TEST(NetworkProject, AgentLifecycleRows) {
  NetworkSession s = boot({{}, {}, {}, "e", {}, {}});
  EXPECT_TRUE(fold(s, ev::UserMessage{}).empty());
  EXPECT_EQ(status(s, "e"), SessionStatus::Processing);
  // Refusals change nothing but are counted and logged.
  const NetworkState before = s.state;
  EXPECT_TRUE(fold(s, ev::UserMessage{}).empty());
  EXPECT_TRUE(fold(s, ev::StartAgent{"missing"}).empty());
  EXPECT_TRUE(s.state == before);
  EXPECT_EQ(s.events_processed, 3u);

  EXPECT_TRUE(fold(s, ev::RegisterAgent{"a"}).empty());
  EXPECT_EQ(status(s, "a"), SessionStatus::Idle);
  fold(s, ev::StartAgent{"a"});
  EXPECT_EQ(status(s, "a"), SessionStatus::Processing);
  fold(s, ev::AgentDone{"a"});
  EXPECT_EQ(status(s, "a"), SessionStatus::Done);
  fold(s, ev::ResetAgent{"a"});
  EXPECT_EQ(status(s, "a"), SessionStatus::Idle);
  EXPECT_TRUE(fold(s, ev::HandoffComplete{"a", "e"}).empty());
  EXPECT_EQ(s.event_log, (std::vector<std::string>{"UserMessage", "UserMessage", "StartAgent:missing",
                                                   "RegisterAgent:a", "StartAgent:a", "AgentDone:a",
                                                   "ResetAgent:a", "HandoffComplete:a:e"}));
  EXPECT_TRUE(s.pending.empty());
}

TEST(NetworkProject, UserMessageWithoutActiveAgent) {
  NetworkSession s = boot({{}, {}, {}, "", {}, {}});
  fold(s, ev::RegisterAgent{"a"});
  const NetworkState before = s.state;
  fold(s, ev::UserMessage{"hello"});
  EXPECT_TRUE(s.state == before);
}

TEST(NetworkProject, DelegationToNewChildHeldUntilComplete) {
  NetworkSession s = boot({{}, {}, {}, "p", {}, {}});
  fold(s, ev::UserMessage{});
  EXPECT_EQ(fold(s, ev::DelegationRequested{"p", "c"}), run("c"));
  const auto& co = s.state.coordinator;
  EXPECT_EQ(status(s, "p"), SessionStatus::WaitingDelegate);
  EXPECT_EQ(status(s, "c"), SessionStatus::Processing);
  EXPECT_EQ(co.routes(), (std::set<Route>{{"p", "c", "DelegationRequest", "DelegationResult"}}));
  EXPECT_EQ(s.pending, (std::vector<std::string>{"AgentRequest:c"}));
  expect_consistent(s);

  // While the key is pending a second request for c is dropped, though the
  // event is still carried out (here refused: c is not idle) and logged.
  EXPECT_TRUE(fold(s, ev::DelegationRequested{"p", "c"}).empty());
  EXPECT_TRUE(fold(s, ev::HandoffRequested{"p", "c"}).empty());
  EXPECT_EQ(s.pending, (std::vector<std::string>{"AgentRequest:c"}));

  EXPECT_TRUE(fold(s, ev::DelegationComplete{"p", "c"}).empty());
  EXPECT_TRUE(s.pending.empty());
  EXPECT_EQ(co.session("c"), nullptr);
  EXPECT_TRUE(co.routes().empty());
  EXPECT_TRUE(co.delegations().empty());
  EXPECT_EQ(status(s, "p"), SessionStatus::Processing);
  EXPECT_EQ(co.session("p")->event_count, 1u);
  EXPECT_EQ(s.events_processed, 5u);

  // Released: the next request for c goes out again.
  EXPECT_EQ(fold(s, ev::DelegationRequested{"p", "c"}), run("c"));
  expect_consistent(s);
}

TEST(NetworkProject, DelegationRefusedLeavesNoTrace) {
  NetworkSession s = boot({{}, {}, {}, "p", {}, {}});
  const NetworkState before = s.state;
  // p is idle, so the delegation is refused: the child made for it goes,
  // together with its route; the request is issued all the same.
  EXPECT_EQ(fold(s, ev::DelegationRequested{"p", "c"}), run("c"));
  EXPECT_TRUE(s.state == before);
  EXPECT_EQ(s.pending, (std::vector<std::string>{"AgentRequest:c"}));
}

TEST(NetworkProject, DelegationToExistingChildNeedsRoute) {
  NetworkSession s = boot({{}, {{"p", "c"}}, {{"p", "h"}}, "p", {}, {}});
  fold(s, ev::RegisterAgent{"c"});  // after boot: the delegation route was skipped
  fold(s, ev::UserMessage{});
  NetworkState before = s.state;
  EXPECT_EQ(fold(s, ev::DelegationRequested{"p", "c"}), run("c"));
  EXPECT_TRUE(s.state == before);

  // Any route between the two will do, the handoff route included.
  EXPECT_EQ(fold(s, ev::DelegationRequested{"p", "h"}), run("h"));
  EXPECT_EQ(status(s, "h"), SessionStatus::Processing);
  EXPECT_EQ(status(s, "p"), SessionStatus::WaitingDelegate);
  EXPECT_EQ(s.state.coordinator.session("p")->waiting_on, (kernel::IdSet{"h"}));

  // Completing destroys the child even though it existed before, and with it
  // the handoff route.
  fold(s, ev::DelegationComplete{"p", "h"});
  EXPECT_EQ(s.state.coordinator.session("h"), nullptr);
  EXPECT_TRUE(s.state.coordinator.routes().empty());
  expect_consistent(s);
}

TEST(NetworkProject, DelegationCompleteStepsAreIndependent) {
  NetworkSession s = boot({{}, {}, {}, "p", {}, {}});
  fold(s, ev::RegisterAgent{"c"});
  fold(s, ev::StartAgent{"c"});
  // No delegation: finishing works, the collection is refused, and the
  // destroy is refused because c is done.
  fold(s, ev::DelegationComplete{"p", "c"});
  EXPECT_EQ(status(s, "c"), SessionStatus::Done);
  fold(s, ev::ResetAgent{"c"});
  // Idle and no delegation: finish and collect are refused, the destroy runs.
  fold(s, ev::DelegationComplete{"p", "c"});
  EXPECT_EQ(s.state.coordinator.session("c"), nullptr);
}

TEST(NetworkProject, DelegationFailed) {
  NetworkSession s = boot({{}, {}, {}, "p", {}, {}});
  fold(s, ev::UserMessage{});
  fold(s, ev::DelegationRequested{"p", "c"});
  EXPECT_TRUE(fold(s, ev::DelegationFailed{"p", "c"}).empty());
  EXPECT_EQ(s.state.coordinator.session("c"), nullptr);
  EXPECT_EQ(status(s, "p"), SessionStatus::Processing);
  EXPECT_TRUE(s.state.coordinator.delegations().empty());
  // A failure does not answer the request: its key stays pending.
  EXPECT_EQ(s.pending, (std::vector<std::string>{"AgentRequest:c"}));
  expect_consistent(s);
}

TEST(NetworkProject, Handoff) {
  NetworkSession s = boot({{}, {}, {{"s", "d"}}, "s", {}, {}});
  // s not done: nothing changes, but d is asked to run.
  NetworkState before = s.state;
  EXPECT_EQ(fold(s, ev::HandoffRequested{"s", "d"}), run("d"));
  EXPECT_TRUE(s.state == before);
  EXPECT_TRUE(fold(s, ev::HandoffComplete{"s", "d"}).empty());
  EXPECT_TRUE(s.pending.empty());

  fold(s, ev::UserMessage{});
  fold(s, ev::AgentDone{"s"});
  EXPECT_EQ(fold(s, ev::HandoffRequested{"s", "d"}), run("d"));
  EXPECT_EQ(status(s, "s"), SessionStatus::Idle);
  EXPECT_EQ(status(s, "d"), SessionStatus::Processing);
  EXPECT_EQ(s.state.active_agent, "d");
  EXPECT_EQ(s.pending, (std::vector<std::string>{"AgentRequest:d"}));
  before = s.state;
  EXPECT_TRUE(fold(s, ev::HandoffComplete{"s", "d"}).empty());
  EXPECT_TRUE(s.pending.empty());
  EXPECT_TRUE(s.state == before);

  // Target not idle: the source is still reset, the rest stays.
  fold(s, ev::StartAgent{"s"});
  fold(s, ev::AgentDone{"s"});
  EXPECT_EQ(fold(s, ev::HandoffRequested{"s", "d"}), run("d"));
  EXPECT_EQ(status(s, "s"), SessionStatus::Idle);
  EXPECT_EQ(status(s, "d"), SessionStatus::Processing);
  EXPECT_EQ(s.state.active_agent, "d");

  // Handoffs do not look at routes: d to a fresh agent works the same way.
  fold(s, ev::RegisterAgent{"z"});
  fold(s, ev::AgentDone{"d"});
  fold(s, ev::HandoffComplete{"s", "d"});
  EXPECT_EQ(fold(s, ev::HandoffRequested{"d", "z"}), run("z"));
  EXPECT_EQ(s.state.active_agent, "z");
}

TEST(NetworkProject, AgentFailed) {
  NetworkSession s = boot({{}, {}, {}, "p", {}, {}});
  fold(s, ev::UserMessage{});
  fold(s, ev::DelegationRequested{"p", "c"});
  // p has an open delegation, so the coordinator keeps it, yet p is no
  // longer the active agent.
  fold(s, ev::AgentFailed{"p"});
  EXPECT_NE(s.state.coordinator.session("p"), nullptr);
  EXPECT_EQ(s.state.active_agent, "");
  // A failing agent that is not active leaves the active agent alone.
  s.state.active_agent = "p";
  fold(s, ev::AgentFailed{"c"});
  EXPECT_EQ(s.state.coordinator.session("c"), nullptr);
  EXPECT_EQ(s.state.active_agent, "p");
  fold(s, ev::AgentFailed{"p"});
  EXPECT_TRUE(s.state.coordinator.sessions().empty());
  EXPECT_EQ(s.state.active_agent, "");
  expect_consistent(s);
}

}  // namespace
}  // namespace vostrel::coordinator_fold
