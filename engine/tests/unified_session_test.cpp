#include "engine/unified_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vostrel::unified_session {
namespace {

using generic_session_tree::build_turn_tree;
using generic_session_tree::TreeOf;
using inner_fold::Approve;
using inner_fold::Reject;
using inner_fold::Replace;
using kernel::RoutingConfig;
using Keys = std::vector<std::string>;

// A state that counts how often it is copied, to hold turns to their budget.
struct CountedState {
  Keys seen;
  std::shared_ptr<int> copies = std::make_shared<int>(0);

  CountedState() = default;
  CountedState(const CountedState& other) : seen(other.seen), copies(other.copies) { ++*copies; }
  CountedState(CountedState&&) = default;
  CountedState& operator=(const CountedState& other) {
    seen = other.seen;
    copies = other.copies;
    ++*copies;
    return *this;
  }
  CountedState& operator=(CountedState&&) = default;
};

struct ToyEvent {
  std::string tag;
  Keys emits;  // the requests this event makes; each request is its own key
};

// Folds by recording the tag and emitting what the event says.
struct ToyFold {
  using State = CountedState;
  using Request = std::string;
  using Event = ToyEvent;
  using DispatchResult = inner_fold::Verdict<Request, Event>;

  std::string event_tag(const Event& e) const { return e.tag; }
  std::string classify_request(const Request& r) const { return r; }
  inner_fold::FoldOutput<ToyFold> fold(State s, const Event& e) const {
    s.seen.push_back(e.tag);
    return {e.emits, std::move(s)};
  }
};

// The same, as project then generate.
struct ProjectingFold {
  using State = Keys;
  using Request = std::string;
  using Event = ToyEvent;
  using DispatchResult = inner_fold::Verdict<Request, Event>;

  std::string event_tag(const Event& e) const { return e.tag; }
  std::string classify_request(const Request& r) const { return r + ":k"; }
  State project(State s, const Event& e) const {
    s.push_back(e.tag);
    return s;
  }
  std::vector<Request> generate(const State& s, const Event&) const { return {std::to_string(s.size())}; }
};

static_assert(inner_fold::DomainFold<ToyFold>);
static_assert(inner_fold::DomainFold<ProjectingFold>);

// Events tagged "Answer:K" answer the key K.
ResultClassifier<ToyEvent> answers() {
  return [](const ToyEvent& e) -> std::optional<std::string> {
    if (e.tag.starts_with("Answer:")) return e.tag.substr(7);
    return std::nullopt;
  };
}

using Request = std::string;
Request req_of(const ClassifiedRequest<Request>& r) {
  return std::visit([](const auto& x) { return x.request; }, r);
}
std::string show(const std::vector<ClassifiedRequest<Request>>& rs) {
  std::string out;
  for (const auto& r : rs) {
    if (auto* c = std::get_if<CheckThenDispatch<Request>>(&r)) {
      out += "check(" + c->check_source + ")" + c->request + " ";
    } else {
      out += req_of(r) + " ";
    }
  }
  return out;
}

// The pending list a turn's output leaves when the session held `before`.
Keys pending_left(const generic_session_tree::TurnOutput<CountedState>& output, Keys before) {
  return inner_fold::pending_after(std::move(before), output.released, output.fresh);
}

Session<ToyFold> make_session(RoutingConfig routing = {}, Keys pending = {}) {
  return Session<ToyFold>{ToyFold{}, std::move(routing), std::move(pending), {}, {}, 0};
}

TEST(KeyOperations, ReturnNewListsByExactComparison) {
  EXPECT_EQ(inner_fold::clear_key_pending({"a", "b", "a", "A", "a:1"}, "a"),
            (Keys{"b", "A", "a:1"}));
  EXPECT_EQ(inner_fold::gate_by_key({"a", "b", "b", "", "c"}, {"a", "c"}), (Keys{"b", "b", ""}));
  EXPECT_EQ(inner_fold::add_key_pending({"x"}, {"a", "x", "a", "b"}), (Keys{"x", "a", "b"}));
  EXPECT_EQ(inner_fold::request_type_of("ToolRequest:call:1"), "ToolRequest");
  EXPECT_EQ(inner_fold::request_type_of("LlmRequest"), "LlmRequest");
  EXPECT_EQ(inner_fold::request_type_of(":x"), "");
}

TEST(FoldEvent, ReleasesThenGatesThenRecordsKeys) {
  Session<ToyFold> s = make_session({}, {"A", "C", "A"});
  // Every copy of A leaves before the fold, so A is sent again and re-added
  // at the end; C is still pending and dropped; B twice is sent twice and
  // recorded once.
  FoldResult<Request> r = s.fold_event({"Answer:A", {"A", "B", "C", "B"}}, answers());
  EXPECT_EQ(show(r.requests), "A B B ");
  EXPECT_EQ(s.pending, (Keys{"C", "A", "B"}));
  EXPECT_EQ(s.state.seen, (Keys{"Answer:A"}));

  // Everything pending: all dropped silently, the event still counts.
  r = s.fold_event({"Other", {"A", "B", "C"}}, answers());
  EXPECT_TRUE(r.requests.empty());
  EXPECT_EQ(s.pending, (Keys{"C", "A", "B"}));
  EXPECT_EQ(s.events_processed, 2u);
  EXPECT_EQ(s.event_log, (Keys{"Answer:A", "Other"}));

  // The empty key is gated like any other.
  r = s.fold_event({"E", {"", ""}}, answers());
  EXPECT_EQ(r.requests.size(), 2u);
  r = s.fold_event({"E", {""}}, answers());
  EXPECT_TRUE(r.requests.empty());
  EXPECT_EQ(s.pending, (Keys{"C", "A", "B", ""}));
}

TEST(FoldEvent, DefaultFoldProjectsThenGenerates) {
  Session<ProjectingFold> s{ProjectingFold{}, {}, {}, {}, {"x"}, 0};
  FoldResult<Request> r = s.fold_event({"T", {}}, [](const ToyEvent&) { return std::nullopt; });
  ASSERT_EQ(r.requests.size(), 1u);
  EXPECT_EQ(req_of(r.requests[0]), "2");  // generated from the projected state
  EXPECT_EQ(s.state, (Keys{"x", "T"}));
  EXPECT_EQ(s.pending, (Keys{"2:k"}));
}

TEST(FoldEvent, OutboundChecksMatchTheRequestType) {
  RoutingConfig routing;
  routing.outbound_checks = {{"ToolRequest:2", "whole-key"}, {"ToolRequest", "guard"},
                             {"ToolRequest", "second"}, {"Empty", ""}};
  Session<ToyFold> s = make_session(routing);
  FoldResult<Request> r =
      s.fold_event({"T", {"ToolRequest:1", "ToolRequest:2", "LlmRequest", "Empty:x"}}, answers());
  EXPECT_EQ(show(r.requests),
            "check(guard)ToolRequest:1 check(guard)ToolRequest:2 LlmRequest check()Empty:x ");
  EXPECT_EQ(s.pending, (Keys{"ToolRequest:1", "ToolRequest:2", "LlmRequest", "Empty:x"}));
}

TEST(FoldEvent, InboundChecksAreApprovedAndSkipOnlyLogs) {
  RoutingConfig routing;
  routing.inbound_checks = {{"Guarded", "filter"}};
  Session<ToyFold> checked = make_session(routing, {"P"});
  Session<ToyFold> plain = make_session({}, {"P"});
  FoldResult<Request> a = checked.fold_event({"Guarded", {"X", "P"}}, answers());
  FoldResult<Request> b = plain.fold_event({"Guarded", {"X", "P"}}, answers());
  EXPECT_EQ(show(a.requests), show(b.requests));
  EXPECT_EQ(checked.pending, plain.pending);
  EXPECT_EQ(checked.state.seen, plain.state.seen);

  auto info = checked.check_inbound({"Guarded", {}});
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->event_tag, "Guarded");
  EXPECT_EQ(info->check_source, "filter");
  EXPECT_FALSE(checked.check_inbound({"guarded", {}}).has_value());

  checked.skip_inbound({"Guarded", {"Y"}});
  EXPECT_EQ(checked.events_processed, 2u);
  EXPECT_EQ(checked.event_log, (Keys{"Guarded", "Guarded:rejected"}));
  EXPECT_EQ(checked.pending, (Keys{"P", "X"}));
  EXPECT_EQ(checked.state.seen, (Keys{"Guarded"}));
}

// A turn folds one copy of the state (the session keeps its own until the
// turn is applied) and copies it nowhere else, however long the turn.
TEST(FoldEvent, CopiesTheStateOncePerTurn) {
  RoutingConfig routing;
  routing.outbound_checks = {{"C", "chk"}};
  routing.inbound_checks = {{"In", "gate"}};
  Session<ToyFold> s = make_session(routing);
  std::shared_ptr<int> copies = s.state.copies;
  Keys many;
  for (int i = 0; i < 200; ++i) many.push_back((i % 2 ? "C:" : "D:") + std::to_string(i));
  FoldResult<Request> r = s.fold_event({"In", many}, answers());
  EXPECT_EQ(r.requests.size(), 200u);
  EXPECT_EQ(*copies, 1);
  s.fold_event({"Plain", {"E"}}, answers());
  EXPECT_EQ(*copies, 2);
}

// The tree is walked by hand here, as a host would drive it.
using Tree = TreeOf<ToyFold>;
using V = ToyFold::DispatchResult;

template <class Node>
Node& as(Tree& t) {
  EXPECT_TRUE(std::holds_alternative<Node>(t.node)) << "node index " << t.node.index();
  return std::get<Node>(t.node);
}

TEST(SessionTree, CheckVerdicts) {
  RoutingConfig routing;
  routing.outbound_checks = {{"C", "chk"}};
  ToyFold fold;
  const Keys old{"old"};
  auto build = [&](Keys emits) {
    return build_turn_tree(fold, routing, answers(), CountedState{}, ToyEvent{"T", emits}, old);
  };

  // Approve: the checked request comes back as a Dispatch node.
  Tree t = build({"C:1", "D"});
  auto& check = as<Tree::Check>(t);
  EXPECT_EQ(check.check_source, "chk");
  EXPECT_EQ(check.request, "C:1");
  Tree sent = check.next(V{Approve{}});
  EXPECT_EQ(as<Tree::Dispatch>(sent).request, "C:1");
  // A Dispatch node ignores whatever it is given.
  Tree d = as<Tree::Dispatch>(sent).next(V{Reject{}});
  EXPECT_EQ(as<Tree::Dispatch>(d).request, "D");
  Tree done = as<Tree::Dispatch>(d).next(V{Replace<Request>{"ignored"}});
  EXPECT_EQ(pending_left(as<Tree::Done>(done).output, old), (Keys{"old", "C:1", "D"}));
  EXPECT_EQ(as<Tree::Done>(done).output.state.seen, (Keys{"T"}));

  // Reject: the request is dropped, its key stays recorded.
  t = build({"C:1", "D"});
  Tree after = as<Tree::Check>(t).next(V{Reject{}});
  EXPECT_EQ(as<Tree::Dispatch>(after).request, "D");
  done = as<Tree::Dispatch>(after).next(V{Approve{}});
  EXPECT_EQ(pending_left(as<Tree::Done>(done).output, old), (Keys{"old", "C:1", "D"}));

  // Replace: the replacement is dispatched instead.
  t = build({"C:1"});
  Tree replaced = as<Tree::Check>(t).next(V{Replace<Request>{"C:other"}});
  EXPECT_EQ(as<Tree::Dispatch>(replaced).request, "C:other");
  done = as<Tree::Dispatch>(replaced).next(V{Approve{}});
  EXPECT_EQ(pending_left(as<Tree::Done>(done).output, old), (Keys{"old", "C:1"}));

  // An event offered where a request was asked for sends nothing.
  t = build({"C:1"});
  done = as<Tree::Check>(t).next(V{Replace<ToyEvent>{{"X", {}}}});
  EXPECT_EQ(pending_left(as<Tree::Done>(done).output, old), (Keys{"old", "C:1"}));

  // No request at all.
  t = build({"old"});
  EXPECT_EQ(pending_left(as<Tree::NoRequests>(t).output, old), (Keys{"old"}));
}

TEST(SessionTree, InboundCheckVerdicts) {
  RoutingConfig routing;
  routing.inbound_checks = {{"In", "gate"}};
  ToyFold fold;
  const Keys old{"old"};
  auto build = [&] {
    CountedState state;
    state.seen = {"before"};
    return build_turn_tree(fold, routing, answers(), std::move(state), ToyEvent{"In", {"R"}},
                           old);
  };

  Tree t = build();
  auto& inbound = as<Tree::InboundCheck>(t);
  EXPECT_EQ(inbound.check_source, "gate");
  EXPECT_EQ(inbound.event.tag, "In");
  Tree approved = inbound.next(V{Approve{}});
  EXPECT_EQ(as<Tree::Dispatch>(approved).request, "R");

  t = build();
  Tree rejected = as<Tree::InboundCheck>(t).next(V{Reject{}});
  EXPECT_EQ(pending_left(as<Tree::NoRequests>(rejected).output, old), (Keys{"old"}));
  EXPECT_EQ(as<Tree::NoRequests>(rejected).output.state.seen, (Keys{"before"}));

  // The replacement event is folded in place of the captured one (and has
  // no inbound check of its own to pass again).
  t = build();
  Tree replaced = as<Tree::InboundCheck>(t).next(V{Replace<ToyEvent>{{"Answer:old", {"S"}}}});
  EXPECT_EQ(as<Tree::Dispatch>(replaced).request, "S");
  Tree done = as<Tree::Dispatch>(replaced).next(V{Approve{}});
  EXPECT_EQ(pending_left(as<Tree::Done>(done).output, old), (Keys{"S"}));
  EXPECT_EQ(as<Tree::Done>(done).output.state.seen, (Keys{"before", "Answer:old"}));

  t = build();
  Tree wrong = as<Tree::InboundCheck>(t).next(V{Replace<Request>{"R"}});
  EXPECT_EQ(as<Tree::NoRequests>(wrong).output.state.seen, (Keys{"before"}));
}

TEST(FlattenWalk, ChecksComeOutOnceInOrder) {
  RoutingConfig routing;
  routing.outbound_checks = {{"C", "chk"}};
  routing.inbound_checks = {{"In", "gate"}};
  ToyFold fold;
  const Keys none;
  Tree t = build_turn_tree(fold, routing, answers(), CountedState{},
                           ToyEvent{"In", {"A", "C:1", "B", "C:2"}}, none);
  Walked<CountedState, Request> w = flatten_walk(std::move(t));
  EXPECT_EQ(show(w.requests), "A check(chk)C:1 B check(chk)C:2 ");
  EXPECT_EQ(pending_left(w.output, none), (Keys{"A", "C:1", "B", "C:2"}));
}

}  // namespace
}  // namespace vostrel::unified_session
