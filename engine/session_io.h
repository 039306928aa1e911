// Reader of Snapshot on the generic record reader: a map of its three fields
// or an array of them in declaration order.
#pragma once

#include <array>
#include <string_view>

#include "engine/codec/record.h"
#include "engine/kernel/value_io.h"
#include "engine/session.h"

namespace vostrel::codec {

template <>
struct Codec<session::Snapshot> : Record<session::Snapshot> {
  static constexpr std::string_view expecting = "struct Snapshot";
  static constexpr auto fields = std::array{
      field<&session::Snapshot::pending>("pending"),
      field<&session::Snapshot::vm_env>("vm_env"),
      field<&session::Snapshot::event_count>("event_count"),
  };
};

}  // namespace vostrel::codec
