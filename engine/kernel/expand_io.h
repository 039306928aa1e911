// Reader of macro definitions and of macro files (a JSON array of them).
//
// `bindings` may be left out in either form: absent from the map form or
// past the end of a three-element positional form, it is empty.
#pragma once

#include <string_view>
#include <vector>

#include "engine/codec/record.h"
#include "engine/kernel/expand.h"
#include "engine/kernel/types_io.h"
#include "engine/result.h"

namespace vostrel::codec {

template <>
struct Codec<kernel::expand::MacroDef> : Record<kernel::expand::MacroDef> {
  using MacroDef = kernel::expand::MacroDef;
  static constexpr std::string_view expecting = "struct MacroDef";
  static constexpr auto fields = std::array{
      field<&MacroDef::name>("name"),
      field<&MacroDef::params>("params"),
      field<&MacroDef::bindings, &read_usize_list>("bindings", kDefault),
      field<&MacroDef::body>("body"),
  };
};

}  // namespace vostrel::codec

namespace vostrel::kernel::expand {

// A macro file: one JSON array of definitions filling the whole text; the
// message of a failure ends in " at line L column C".
Result<std::vector<MacroDef>> macros_from_json(std::string_view text);

}  // namespace vostrel::kernel::expand
