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

SessionState::Turn SessionState::prepare(const std::vector<TransducerDef>& transducers,
                                         std::string_view tag, const Env& data) {
  return Turn(nullptr, {&pending, nullptr, &event_count}, [&](kernel::UndoLog& log) {
    agent_fold::StepChange step = agent_fold::step_change(
        config.topology, config.inbound_checks, transducers, vm_env, tag, data, pending, &log);
    // The result is handed over whole, so it holds its own copies (the
    // environment's values are shared: this copies map nodes, not payloads).
    TurnResult result{std::move(step.actions), Env(vm_env), std::move(step.inbound_check),
                      inner_fold::pending_after(pending, step.released, step.fresh)};
    return turn::Prepared<turn::InPlace, TurnResult>{
        {}, std::move(result), std::move(step.released), std::move(step.fresh), {}};
  });
}

TurnResult SessionState::process(const std::vector<TransducerDef>& transducers,
                                 std::string_view tag, const Env& data) {
  return prepare(transducers, tag, data).commit();
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

namespace {

// The room the pending keys take in either form, at most: their own bytes
// and, per key, its quotes and comma or its longest MessagePack header.
std::size_t pending_size(const Snapshot& snapshot) {
  std::size_t size = 0;
  for (const std::string& key : snapshot.pending) size += key.size() + 5;
  return size;
}

template <class Out>
Result<void> put_snapshot_json(const Snapshot& snapshot, Out& out) {
  out += "{\"pending\":[";
  // Taken at once, at twice the estimate (escapes lengthen a text): writing
  // then seldom copies the text to grow it, and what is never written is
  // never touched. Grown by doubling, a large text passed through buffers
  // of twice its size, which the C allocator handed back to the system
  // after each call, so every call paid for fresh pages again.
  out.reserve(2 * (kernel::written_size(snapshot.vm_env).json + pending_size(snapshot)) + 64);
  for (std::size_t i = 0; i < snapshot.pending.size(); ++i) {
    if (i) out += ',';
    kernel::write_json_string(snapshot.pending[i], out);
  }
  out += "],\"vm_env\":";
  // Inside the snapshot's own object.
  if (auto written = kernel::write_json(snapshot.vm_env, out, 1); !written)
    return fail(std::move(written.error()));
  out += ",\"event_count\":";
  out += std::to_string(snapshot.event_count);
  out += '}';
  return {};
}

// The whole form in a string of its own.
template <auto put>
Result<std::string> to_string(const Snapshot& snapshot) {
  std::string out;
  if (auto written = put(snapshot, out); !written) return fail(std::move(written.error()));
  return out;
}

}  // namespace

Result<std::string> snapshot_to_json(const Snapshot& snapshot) {
  return to_string<put_snapshot_json<std::string>>(snapshot);
}

Result<void> write_snapshot_json(const Snapshot& snapshot, kernel::TextBuffer& out) {
  return put_snapshot_json(snapshot, out);
}

Result<Snapshot> snapshot_from_json(std::string_view text) {
  return codec::from_json<Snapshot>(text);
}

namespace {

template <class Out>
Result<void> put_snapshot_msgpack(const Snapshot& snapshot, Out& out) {
  // Taken at once, as for JSON; the environment's share is exact, so the
  // bytes are written without growing their buffer.
  constexpr std::size_t kHeaders = 1 + 5 + 9;  // the record's, the pending list's, the count
  out.reserve(kernel::written_size(snapshot.vm_env).msgpack + pending_size(snapshot) + kHeaders);
  // A record is written as the array of its fields, with no names.
  kernel::write_msgpack_array_header(3, out);
  kernel::write_msgpack_array_header(snapshot.pending.size(), out);
  for (const std::string& key : snapshot.pending) kernel::write_msgpack_string(key, out);
  // Inside the snapshot's own array.
  if (auto written = kernel::write_msgpack(snapshot.vm_env, out, 1); !written)
    return fail(std::move(written.error()));
  kernel::write_msgpack_uint(snapshot.event_count, out);
  return {};
}

}  // namespace

Result<std::string> snapshot_to_msgpack(const Snapshot& snapshot) {
  return to_string<put_snapshot_msgpack<std::string>>(snapshot);
}

Result<void> write_snapshot_msgpack(const Snapshot& snapshot, kernel::TextBuffer& out) {
  return put_snapshot_msgpack(snapshot, out);
}

Result<Snapshot> snapshot_from_msgpack(std::string_view bytes) {
  return codec::from_msgpack<Snapshot>(bytes);
}

}  // namespace vostrel::session
