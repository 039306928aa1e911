// Plain sessions: the step road of the agent fold (agent_fold::turn_step)
// with snapshots, replay of an event log and resume from a snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/agent_fold.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/types.h"
#include "engine/kernel/value.h"
#include "engine/result.h"
#include "engine/turn.h"

namespace vostrel::kernel {
class TextBuffer;
}

namespace vostrel::session {

using agent_fold::TurnResult;
using kernel::Env;
using kernel::SessionConfig;
using kernel::TransducerDef;

// What a session can be resumed from: no configuration, no transducers.
struct Snapshot {
  std::vector<std::string> pending;
  Env vm_env;
  std::uint64_t event_count = 0;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

// (event tag, event data) pairs in processing order.
using EventLog = std::vector<std::pair<std::string, Env>>;

// The transducers are not part of the state: the owner keeps them and hands
// them to every step.
struct SessionState {
  SessionConfig config;
  std::vector<std::string> pending;  // request types, as the step road keys them
  Env vm_env;
  std::uint64_t event_count = 0;

  using Turn = turn::Turn<turn::InPlace, TurnResult>;

  TurnResult process(const std::vector<TransducerDef>& transducers, std::string_view tag,
                     const Env& data);
  // `process` as a turn (turn.h): the step is folded on `vm_env` in place
  // through the turn's log, so while the turn is open `vm_env` reads the
  // step's writes; the commit keeps them and hands the result over, a
  // dropped turn puts them back.
  Turn prepare(const std::vector<TransducerDef>& transducers, std::string_view tag,
               const Env& data);
  Snapshot snapshot() const;

  friend bool operator==(const SessionState&, const SessionState&) = default;
};

SessionState create(const std::vector<TransducerDef>& transducers, SessionConfig config);
SessionState replay(const std::vector<TransducerDef>& transducers, SessionConfig config,
                    const EventLog& log);
SessionState resume(Snapshot snapshot, SessionConfig config,
                    const std::vector<TransducerDef>& transducers, const EventLog& log);

// {"pending":[...],"vm_env":{...},"event_count":N}, compact; refused (the
// writer's text, value_io.h) when a value is nested deeper than the JSON
// reader takes.
Result<std::string> snapshot_to_json(const Snapshot& snapshot);
// The same, written into `out`: a host's own buffer (value_io.h). On failure
// what `out` holds is no document.
Result<void> write_snapshot_json(const Snapshot& snapshot, kernel::TextBuffer& out);
// The whole text must be one snapshot (object or array of three).
Result<Snapshot> snapshot_from_json(std::string_view text);
// An array of three: pending, vm_env, event_count; refused like the JSON
// form past the MessagePack reader's depth.
Result<std::string> snapshot_to_msgpack(const Snapshot& snapshot);
// The same, written into `out`, as write_snapshot_json does.
Result<void> write_snapshot_msgpack(const Snapshot& snapshot, kernel::TextBuffer& out);
// Reads one snapshot (array or map form) from the start; later bytes are
// not looked at.
Result<Snapshot> snapshot_from_msgpack(std::string_view bytes);

}  // namespace vostrel::session
