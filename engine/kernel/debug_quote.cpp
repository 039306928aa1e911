#include "engine/kernel/debug_quote.h"

namespace vostrel::kernel {

DebugStruct& DebugStruct::field_raw(std::string_view name, std::string_view debug_text) {
  out_ += has_fields_ ? ", " : " { ";
  has_fields_ = true;
  out_ += name;
  out_ += ": ";
  out_ += debug_text;
  return *this;
}

DebugStruct& DebugStruct::field(std::string_view name, std::string_view text) {
  return field_raw(name, debug_quote(text));
}

DebugStruct& DebugStruct::field(std::string_view name, std::uint64_t number) {
  return field_raw(name, std::to_string(number));
}

std::string DebugStruct::finish() {
  if (has_fields_) out_ += " }";
  return std::move(out_);
}

}  // namespace vostrel::kernel
