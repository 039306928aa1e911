#include "engine/session.h"

#include "engine/loader.h"
#include "engine/session_io.h"

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

PreparedStep SessionState::prepare(const std::vector<TransducerDef>& transducers,
                                   std::string_view tag, const Env& data) const {
  kernel::UndoLog undo;
  TurnResult result =
      agent_fold::turn_step(config.topology, config.inbound_checks, transducers, Env(vm_env), tag,
                            data, pending, inner_fold::Kept<Env>{&vm_env, &undo});
  // The result is returned whole, so the state keeps its own copies (the
  // environment's values are shared, so this copies map nodes, not payloads).
  std::vector<std::string> next_pending = result.pending;
  Env next_env = result.vm_env;
  return PreparedStep{std::move(result), std::move(next_pending), std::move(next_env),
                      std::move(undo)};
}

void SessionState::commit(PreparedStep& step) noexcept {
  step.undo.commit();
  pending = std::move(step.pending);
  vm_env = std::move(step.vm_env);
  ++event_count;
}

TurnResult SessionState::process(const std::vector<TransducerDef>& transducers,
                                 std::string_view tag, const Env& data) {
  PreparedStep step = prepare(transducers, tag, data);
  commit(step);
  return std::move(step.result);
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

// --- external forms ---------------------------------------------------------

std::string snapshot_to_json(const Snapshot& snapshot) {
  std::string out = "{\"pending\":[";
  // Taken at once, at twice the estimate (escapes lengthen a text): writing
  // then seldom copies the text to grow it, and what is never written is
  // never touched. Grown by doubling, a large text passed through buffers
  // of twice its size, which the C allocator handed back to the system
  // after each call, so every call paid for fresh pages again.
  out.reserve(2 * kernel::json_size_hint(snapshot.vm_env) + 64);
  for (std::size_t i = 0; i < snapshot.pending.size(); ++i) {
    if (i) out += ',';
    kernel::write_json_string(snapshot.pending[i], out);
  }
  out += "],\"vm_env\":";
  kernel::write_json(snapshot.vm_env, out);
  out += ",\"event_count\":";
  out += std::to_string(snapshot.event_count);
  out += '}';
  return out;
}

Result<Snapshot> snapshot_from_json(std::string_view text) {
  return codec::from_json<Snapshot>(text);
}

std::string snapshot_to_msgpack(const Snapshot& snapshot) {
  // A record is written as the array of its fields, with no names.
  std::string out;
  kernel::write_msgpack_array_header(3, out);
  kernel::write_msgpack_array_header(snapshot.pending.size(), out);
  for (const std::string& key : snapshot.pending) kernel::write_msgpack_string(key, out);
  kernel::write_msgpack(snapshot.vm_env, out);
  kernel::write_msgpack_uint(snapshot.event_count, out);
  return out;
}

Result<Snapshot> snapshot_from_msgpack(std::string_view bytes) {
  return codec::from_msgpack<Snapshot>(bytes);
}

}  // namespace vostrel::session
