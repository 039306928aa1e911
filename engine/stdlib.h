// The standard library: six transducers (messages, blocks, usage, call_llm,
// execute_tool, summary) and the nine macros they are written with, both
// embedded in the engine at build time, and the event that starts a session.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/kernel/types.h"
#include "engine/kernel/value.h"

namespace vostrel::stdlib {

// The embedded data breaking an invariant of the build. Not a runtime
// condition: the build generates and embeds data that decode and expand.
struct StdlibFault : std::logic_error {
  using std::logic_error::logic_error;
};

// The six standard transducers, decoded and macro-expanded afresh on every
// call (nothing is cached; the results share nothing). Throws StdlibFault
// if the embedded data were faulty.
std::vector<kernel::TransducerDef> stdlib();

// The same steps over the given data: a MessagePack array of transducer
// definitions and a JSON array of macro definitions.
std::vector<kernel::TransducerDef> load(std::string_view transducers_msgpack,
                                        std::string_view macros_json);

// The embedded data as built in: "stdlib.msgpack" and "std_macros.json".
std::string_view stdlib_msgpack();
std::string_view std_macros_json();

// The session-start event: the tag "SessionInit" with {"context": List(context)}.
std::pair<std::string, kernel::Env> session_init(std::vector<kernel::Value> context);

}  // namespace vostrel::stdlib
