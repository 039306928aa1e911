// An agent on the live road as the host drives it: made from transducers and
// a session configuration, rebuilt from an event history or a snapshot, and
// fed one event at a time.
//
// The state is agent_fold::AgentSession (the event-folding session over
// AgentFold); these functions are its operations, so the Python class is a
// thin shell over them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/agent_fold.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/types.h"
#include "engine/session.h"
#include "engine/unified_session.h"

namespace vostrel::agent_session {

using Session = agent_fold::AgentSession;
using Requests = std::vector<unified_session::ClassifiedRequest<kernel::Value>>;

// A fresh session: every slot at its initial value, nothing pending, nothing
// logged. Its routing is the configuration's topology with one inbound rule
// per InboundCheckDef appended.
Session create(std::vector<kernel::TransducerDef> transducers,
               const kernel::SessionConfig& config);

// Rebuilt by replaying `log` on the step road (session::replay); the log
// holds the events' tags.
Session resume(std::vector<kernel::TransducerDef> transducers, const kernel::SessionConfig& config,
               const session::EventLog& log);

// Rebuilt from a snapshot and the events after it (session::resume); the
// log holds only those events' tags, the count continues the snapshot's.
Session resume_from_snapshot(std::vector<kernel::TransducerDef> transducers,
                             const kernel::SessionConfig& config, session::Snapshot snapshot,
                             const session::EventLog& remaining);

// One event on the live road, every check approved.
Requests fold_event(Session& s, std::string tag, kernel::Env data);

// The same as a turn (turn.h): its requests can be read and converted
// before `commit` applies it; a turn dropped uncommitted changes nothing.
Session::Turn prepare_fold(Session& s, std::string tag, kernel::Env data);

// The inbound check source that applies to `tag`, if any.
std::optional<std::string> check_inbound(const Session& s, std::string tag);

// The event was rejected by its inbound check: counted and logged only.
void skip_inbound(Session& s, std::string tag);

// Every pending entry equal to `request_type` removed, order kept.
void cancel_request(Session& s, std::string_view request_type);

session::Snapshot snapshot(const Session& s);

}  // namespace vostrel::agent_session
