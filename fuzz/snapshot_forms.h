// The snapshot forms, for the round trips of the snapshot targets.
#pragma once

#include <algorithm>

#include "engine/session.h"
#include "fuzz_support.h"

namespace vostrel::fuzz {

// The nesting of a snapshot's forms: the record, then its pending array or
// its environment with the values in it.
inline std::size_t snapshot_nesting(const session::Snapshot& s) {
  return std::max<std::size_t>(2, 1 + env_nesting(s.vm_env));
}

// A snapshot read from either form writes to both, and each reads back
// equal (or fails with the limit's message when nested beyond it) and
// writes the same again.
inline void snapshot_round_trip(const session::Snapshot& s) {
  const std::size_t nesting = snapshot_nesting(s);
  const std::string json = session::snapshot_to_json(s);
  auto from_json = session::snapshot_from_json(json);
  if (nesting > kJsonNesting) {
    check(!from_json && from_json.error().starts_with("recursion limit exceeded"),
          "a snapshot nested beyond the JSON limit", json);
  } else {
    check(from_json.has_value(), "a written JSON snapshot does not read back",
          from_json ? std::string_view{} : std::string_view(from_json.error()));
    check(*from_json == s, "a JSON snapshot reads back unequal", json);
    check(session::snapshot_to_json(*from_json) == json, "rewriting JSON gives other text", json);
  }
  const std::string msgpack = session::snapshot_to_msgpack(s);
  auto from_msgpack = session::snapshot_from_msgpack(msgpack);
  if (nesting > kMsgpackNesting) {
    check(!from_msgpack && from_msgpack.error().starts_with("depth limit exceeded"),
          "a snapshot nested beyond the MessagePack limit");
  } else {
    check(from_msgpack.has_value(), "a written MessagePack snapshot does not read back",
          from_msgpack ? std::string_view{} : std::string_view(from_msgpack.error()));
    check(*from_msgpack == s, "a MessagePack snapshot reads back unequal");
    check(session::snapshot_to_msgpack(*from_msgpack) == msgpack,
          "rewriting MessagePack gives other bytes");
  }
}

}  // namespace vostrel::fuzz
