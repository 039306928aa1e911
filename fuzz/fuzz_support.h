// Checks shared by the fuzz targets. A failed check aborts, which libFuzzer
// reports as a crash together with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/kernel/value.h"

namespace vostrel::fuzz {

[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %.*s\n  %.*s\n", static_cast<int>(what.size()),
               what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {}) {
  if (!ok) fail(what, detail);
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits `in` at every `sep`.
inline std::vector<std::string_view> split(std::string_view in, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    std::size_t at = in.find(sep);
    parts.push_back(in.substr(0, at));
    if (at == std::string_view::npos) return parts;
    in.remove_prefix(at + 1);
  }
}

// A JSON reader's message must end in " at line L column C", and the
// position must lie within the text: L at most the number of lines, C at
// most the length of line L.
inline void check_json_error(std::string_view text, const std::string& message) {
  check(!message.empty(), "empty JSON error message");
  const std::string_view m = message;
  const std::size_t at_line = m.rfind(" at line ");
  check(at_line != std::string_view::npos, "JSON error without a position", m);
  const std::size_t at_col = m.find(" column ", at_line);
  check(at_col != std::string_view::npos, "JSON error without a column", m);
  auto number = [&](std::string_view digits) {
    check(!digits.empty() && digits.size() < 19, "bad number in a JSON error position", m);
    std::uint64_t n = 0;
    for (char c : digits) {
      check(c >= '0' && c <= '9', "bad digit in a JSON error position", m);
      n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
  };
  const std::uint64_t line = number(m.substr(at_line + 9, at_col - (at_line + 9)));
  const std::uint64_t column = number(m.substr(at_col + 8));
  check(line >= 1, "JSON error at line 0", m);
  std::uint64_t seen = 1;
  std::size_t start = 0;
  while (seen < line) {
    std::size_t lf = text.find('\n', start);
    check(lf != std::string_view::npos, "JSON error line beyond the text", m);
    start = lf + 1;
    ++seen;
  }
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  check(column <= end - start, "JSON error column beyond its line", m);
}

// Whether `m` ends in " at line L column C".
inline bool ends_with_position(std::string_view m) {
  const std::size_t at = m.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  std::string_view rest = m.substr(at + 9);
  std::size_t i = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
  if (i == 0 || !rest.substr(i).starts_with(" column ")) return false;
  rest.remove_prefix(i + 8);
  if (rest.empty()) return false;
  for (char c : rest)
    if (c < '0' || c > '9') return false;
  return true;
}

// A MessagePack reader's message carries no position (the text it quotes
// from the input may, of course, say anything).
inline void check_msgpack_error(const std::string& message) {
  check(!message.empty(), "empty MessagePack error message");
  check(!ends_with_position(message), "MessagePack error with a position", message);
}

// The nesting a value's JSON or MessagePack form opens: every List or Map
// level costs two (the value's own array or object and its payload), every
// other value one. Walks with an explicit stack: evaluation can build values
// far deeper than any reader takes.
inline std::size_t value_nesting(const kernel::Value& root) {
  std::size_t deepest = 0;
  std::vector<std::pair<const kernel::Value*, std::size_t>> stack{{&root, 1}};
  while (!stack.empty()) {
    auto [v, depth] = stack.back();
    stack.pop_back();
    if (v->is_list()) {
      deepest = std::max(deepest, depth + 1);
      for (const kernel::Value& item : v->as_list()) stack.push_back({&item, depth + 2});
    } else if (v->is_map()) {
      deepest = std::max(deepest, depth + 1);
      for (const auto& entry : v->as_map()) stack.push_back({&entry.second, depth + 2});
    } else {
      deepest = std::max(deepest, depth);
    }
  }
  return deepest;
}

inline std::size_t env_nesting(const kernel::Env& env) {
  std::size_t deepest = 1;
  for (const auto& entry : env) deepest = std::max(deepest, 1 + value_nesting(entry.second));
  return deepest;
}

// The readers' limits: arrays and objects (maps) open at once.
inline constexpr std::size_t kJsonNesting = 127;
inline constexpr std::size_t kMsgpackNesting = 1023;

}  // namespace vostrel::fuzz
