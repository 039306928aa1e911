#include "engine/agent_session.h"

#include <utility>

#include "engine/inner_fold.h"
#include "engine/loader.h"

namespace vostrel::agent_session {

namespace {

std::vector<std::string> tags_of(const session::EventLog& log) {
  std::vector<std::string> tags;
  tags.reserve(log.size());
  for (const auto& entry : log) tags.push_back(entry.first);
  return tags;
}

Session from_state(std::vector<kernel::TransducerDef> transducers,
                   const kernel::SessionConfig& config, session::SessionState state,
                   const session::EventLog& log) {
  Session s{agent_fold::AgentFold{std::move(transducers)}, kernel::routing_with_inbound_defs(config),
            std::move(state.pending), tags_of(log), std::move(state.vm_env), state.event_count};
  return s;
}

}  // namespace

Session create(std::vector<kernel::TransducerDef> transducers,
               const kernel::SessionConfig& config) {
  kernel::Env first = loader::init_env(transducers);
  return Session{agent_fold::AgentFold{std::move(transducers)},
                 kernel::routing_with_inbound_defs(config), {}, {}, std::move(first), 0};
}

Session resume(std::vector<kernel::TransducerDef> transducers, const kernel::SessionConfig& config,
               const session::EventLog& log) {
  session::SessionState state = session::replay(transducers, config, log);
  return from_state(std::move(transducers), config, std::move(state), log);
}

Session resume_from_snapshot(std::vector<kernel::TransducerDef> transducers,
                             const kernel::SessionConfig& config, session::Snapshot snapshot,
                             const session::EventLog& remaining) {
  session::SessionState state =
      session::resume(std::move(snapshot), config, transducers, remaining);
  return from_state(std::move(transducers), config, std::move(state), remaining);
}

Session::Turn prepare_fold(Session& s, std::string tag, kernel::Env data) {
  auto classify = agent_fold::agent_classify_result_fn(s.routing.dispatch_rules);
  return s.prepare(agent_fold::AgentEvent{std::move(tag), std::move(data)}, std::move(classify));
}

Requests fold_event(Session& s, std::string tag, kernel::Env data) {
  return prepare_fold(s, std::move(tag), std::move(data)).commit();
}

std::optional<std::string> check_inbound(const Session& s, std::string tag) {
  auto info = s.check_inbound(agent_fold::AgentEvent{std::move(tag), {}});
  if (!info) return std::nullopt;
  return std::move(info->check_source);
}

void skip_inbound(Session& s, std::string tag) {
  s.skip_inbound(agent_fold::AgentEvent{std::move(tag), {}});
}

void cancel_request(Session& s, std::string_view request_type) {
  s.pending = inner_fold::clear_key_pending(std::move(s.pending), request_type);
}

session::Snapshot snapshot(const Session& s) {
  return session::Snapshot{s.pending, s.state, s.events_processed};
}

}  // namespace vostrel::agent_session
