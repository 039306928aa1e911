// Class NetworkSession's record.
#pragma once

#include "borrow.h"
#include "engine/coordinator_fold.h"

namespace vostrel::py {

// NetworkSession: one network session (the folding session over the
// network fold), owned by value.
struct PyNetworkSession {
  static constexpr const char* kName = "NetworkSession";
  coordinator_fold::NetworkSession session;
  BorrowFlag borrow;
};

}  // namespace vostrel::py
