// The snapshot forms, for the round trips of the snapshot targets.
#pragma once

#include <algorithm>

#include "engine/kernel/value_io.h"
#include "engine/session.h"
#include "fuzz_support.h"

namespace vostrel::fuzz {

// The nesting of a snapshot's forms: the record, then its pending array or
// its environment with the values in it.
inline std::size_t snapshot_nesting(const session::Snapshot& s) {
  return std::max<std::size_t>(2, 1 + env_nesting(s.vm_env));
}

// A snapshot read from either form writes to both, unless a form would be
// nested deeper than its reader takes, which its writer must then refuse
// with its own message; what is written reads back equal and writes the same
// again.
inline void snapshot_round_trip(const session::Snapshot& s) {
  const std::size_t nesting = snapshot_nesting(s);
  auto form = [&](bool json) {
    auto write = json ? session::snapshot_to_json : session::snapshot_to_msgpack;
    auto read = json ? session::snapshot_from_json : session::snapshot_from_msgpack;
    auto written = write(s);
    if (nesting > (json ? kJsonNesting : kMsgpackNesting)) {
      check(!written && written.error() == (json ? kernel::kJsonTooDeep : kernel::kMsgpackTooDeep),
            "a snapshot nested beyond the limit was not refused as such");
      return;
    }
    check(written.has_value(), "a snapshot within the limit was refused",
          written ? std::string_view{} : std::string_view(written.error()));
    auto back = read(*written);
    check(back.has_value(), "a written snapshot does not read back",
          back ? std::string_view{} : std::string_view(back.error()));
    check(*back == s, "a snapshot reads back unequal");
    check(write(*back) == written, "rewriting a snapshot gives other bytes");
  };
  form(true);
  form(false);
}

}  // namespace vostrel::fuzz
