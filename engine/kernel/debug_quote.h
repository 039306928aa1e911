// The debug text of the kernel's error records (validation problems, macro
// expansion failures): `Name { field: "text", count: 2 }` on one line, with
// strings in debug quoting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/codec/text.h"

namespace vostrel::kernel {

// Debug quoting lives with the rest of the UTF-8 handling (codec/text.h).
using codec::debug_escapes;
using codec::debug_quote;
using codec::unicode_version;

// Writes `Name { a: "x", n: 2 }`; a record without fields as `Name`.
class DebugStruct {
 public:
  explicit DebugStruct(std::string_view name) : out_(name) {}
  DebugStruct& field(std::string_view name, std::string_view text);
  DebugStruct& field(std::string_view name, std::uint64_t number);
  // A field whose value is already in debug form.
  DebugStruct& field_raw(std::string_view name, std::string_view debug_text);
  std::string finish();

 private:
  std::string out_;
  bool has_fields_ = false;
};

}  // namespace vostrel::kernel
