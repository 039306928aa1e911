// The records of the classes that other classes take as arguments or make.
#pragma once

#include "borrow.h"
#include "engine/kernel/types.h"

namespace vostrel::py {

// TransducerDef: one parsed definition, immutable.
struct PyTransducerDef {
  static constexpr const char* kName = "TransducerDef";
  kernel::TransducerDef def;
};

}  // namespace vostrel::py
