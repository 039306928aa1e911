#include "engine/session.h"

#include "engine/loader.h"

namespace vostrel::session {

namespace {

// One step without its result, for replay and resume: the state moves
// through the step instead of being copied out of its result.
void fold_into(SessionState& state, const std::vector<TransducerDef>& transducers,
               std::string_view tag, const Env& data) {
  TurnResult result =
      agent_fold::turn_step(state.config.topology, state.config.inbound_checks, transducers,
                            std::move(state.vm_env), tag, data, std::move(state.pending));
  state.pending = std::move(result.pending);
  state.vm_env = std::move(result.vm_env);
  ++state.event_count;
}

void fold_log(SessionState& state, const std::vector<TransducerDef>& transducers,
              const EventLog& log) {
  for (const auto& [tag, data] : log) fold_into(state, transducers, tag, data);
}

}  // namespace

TurnResult SessionState::process(const std::vector<TransducerDef>& transducers,
                                 std::string_view tag, const Env& data) {
  TurnResult result = agent_fold::turn_step(config.topology, config.inbound_checks, transducers,
                                            std::move(vm_env), tag, data, std::move(pending));
  // The result is returned whole, so the state keeps its own copies (the
  // environment's values are shared, so this copies map nodes, not payloads).
  pending = result.pending;
  vm_env = result.vm_env;
  ++event_count;
  return result;
}

Snapshot SessionState::snapshot() const { return Snapshot{pending, vm_env, event_count}; }

SessionState create(const std::vector<TransducerDef>& transducers, SessionConfig config) {
  return SessionState{std::move(config), {}, loader::init_env(transducers), 0};
}

SessionState replay(const std::vector<TransducerDef>& transducers, SessionConfig config,
                    const EventLog& log) {
  SessionState state = create(transducers, std::move(config));
  fold_log(state, transducers, log);
  return state;
}

SessionState resume(Snapshot snapshot, SessionConfig config,
                    const std::vector<TransducerDef>& transducers, const EventLog& log) {
  // The snapshot's environment is taken as it is: the transducers' initial
  // slot values play no part.
  SessionState state{std::move(config), std::move(snapshot.pending), std::move(snapshot.vm_env),
                     snapshot.event_count};
  fold_log(state, transducers, log);
  return state;
}

}  // namespace vostrel::session
