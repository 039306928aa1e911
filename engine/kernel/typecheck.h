// Optional type annotations carried by MGet and LFold. They are read and
// carried; only MGet consults its annotation at evaluation.
#pragma once

#include <cstdint>
#include <string_view>

namespace vostrel::kernel {

// VType k names the same kind as Value variant k (Str, Int, Bool, List, Map).
enum class VType : std::uint8_t { TStr = 0, TInt = 1, TBool = 2, TList = 3, TMap = 4 };

inline constexpr std::string_view vtype_name(VType t) {
  constexpr std::string_view names[] = {"TStr", "TInt", "TBool", "TList", "TMap"};
  return names[static_cast<int>(t)];
}

}  // namespace vostrel::kernel
