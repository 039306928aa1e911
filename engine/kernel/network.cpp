#include "engine/kernel/network.h"

namespace vostrel::kernel {

namespace {

namespace ev = network_event;

struct TagOf {
  std::string operator()(const ev::UserMessage&) const { return "UserMessage"; }
  std::string operator()(const ev::RegisterAgent& e) const { return "RegisterAgent:" + e.agent; }
  std::string operator()(const ev::StartAgent& e) const { return "StartAgent:" + e.agent; }
  std::string operator()(const ev::AgentDone& e) const { return "AgentDone:" + e.agent; }
  std::string operator()(const ev::ResetAgent& e) const { return "ResetAgent:" + e.agent; }
  std::string operator()(const ev::DelegationRequested& e) const {
    return "DelegationRequested:" + e.parent + ":" + e.child;
  }
  std::string operator()(const ev::DelegationComplete& e) const {
    return "DelegationComplete:" + e.parent + ":" + e.child;
  }
  std::string operator()(const ev::DelegationFailed& e) const {
    return "DelegationFailed:" + e.parent + ":" + e.child;
  }
  std::string operator()(const ev::HandoffRequested& e) const {
    return "HandoffRequested:" + e.src + ":" + e.dst;
  }
  std::string operator()(const ev::HandoffComplete& e) const {
    return "HandoffComplete:" + e.src + ":" + e.dst;
  }
  std::string operator()(const ev::AgentFailed& e) const { return "AgentFailed:" + e.agent; }
};

}  // namespace

std::string network_event_tag(const NetworkEvent& event) { return std::visit(TagOf{}, event); }

ConnectionMap handle_network_config_event(const ConnectionMap& connections,
                                          const NetworkConfigEvent& event) {
  ConnectionMap next = connections;
  if (const auto* add = std::get_if<network_config_event::AddConnection>(&event)) {
    next.insert_or_assign(add->connection.name, add->connection);
  } else {
    const auto& remove = std::get<network_config_event::RemoveConnection>(event);
    if (auto it = next.find(remove.name); it != next.end()) next.erase(it);
  }
  return next;
}

std::string NetworkError::display() const {
  switch (kind) {
    case Kind::Coordinator:
      return "coordinator: " + (coordinator ? coordinator->display() : std::string());
    case Kind::NoActiveAgent: return "no active agent set";
    case Kind::ActiveAgentNotIdle: return "active agent not idle: " + first;
    case Kind::NoHandoffRoute: return "no handoff route from " + first + " to " + second;
    case Kind::HandoffTargetNotIdle: return "handoff target not idle: " + first;
    case Kind::HandoffTargetIsDelegationChild:
      return "handoff target is a delegation child: " + first;
  }
  return {};
}

}  // namespace vostrel::kernel
