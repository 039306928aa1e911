// The debug text of the kernel's error records (validation problems, macro
// expansion failures): `Name { field: "text", count: 2 }` on one line, with
// strings in debug quoting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrel::kernel {

// The Unicode character database version behind debug quoting's tables.
std::string_view unicode_version();

// True for the code points that debug quoting escapes as \u{...}: those
// Unicode does not class as printable, and grapheme extenders.
bool debug_escapes(char32_t c);

// `s` between double quotes: \" \\ \t \r \n \0 for those characters,
// \u{hex} for the code points debug_escapes names, everything else as is.
// A byte sequence that is not valid UTF-8 is written as U+FFFD.
std::string debug_quote(std::string_view s);

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
