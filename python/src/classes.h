// The records of the classes that other classes take as arguments or make.
#pragma once

#include "borrow.h"
#include "engine/kernel/routing.h"
#include "engine/kernel/types.h"
#include "engine/session.h"

namespace vostrel::py {

// TransducerDef: one parsed definition, immutable.
struct PyTransducerDef {
  static constexpr const char* kName = "TransducerDef";
  kernel::TransducerDef def;
};

// SessionConfig: a session's routing and inbound checks, immutable.
struct PySessionConfig {
  static constexpr const char* kName = "SessionConfig";
  kernel::SessionConfig config;
};

// Snapshot: a session's resumable state, immutable.
struct PySnapshot {
  static constexpr const char* kName = "Snapshot";
  session::Snapshot snapshot;
};

}  // namespace vostrel::py
