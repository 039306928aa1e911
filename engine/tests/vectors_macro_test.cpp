// Runs the shared reader reference cases of macro definitions and macro
// files through the macro reader. Expressions have no writer, so a
// successful read is compared on everything but the bodies: the name, the
// parameters and the binding indices.
#include <gtest/gtest.h>


#include "engine/kernel/expand_io.h"
#include "engine/kernel/value_io.h"
#include "engine/tests/vectors.h"

namespace vostrel {
namespace {

using kernel::expand::MacroDef;

// The canonical JSON of `m` up to its body: `{"name":...,"bindings":[...],"body":`.
std::string head_of(const MacroDef& m) {
  std::string out = "{\"name\":";
  kernel::write_json_string(m.name, out);
  out += ",\"params\":[";
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    if (i > 0) out += ',';
    kernel::write_json_string(m.params[i], out);
  }
  out += "],\"bindings\":[";
  for (std::size_t i = 0; i < m.bindings.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(m.bindings[i]);
  }
  return out + "],\"body\":";
}

template <class T>
codec::Status read(const testing::VectorCase& c, T& out) {
  auto reader = [&](codec::Deserializer& d) { return codec::Codec<T>::read(d, out); };
  return c.format == "json" ? codec::read_json(c.input, reader)
                            : codec::read_msgpack(c.input, reader);
}

// Empty when the case agrees, otherwise what was found instead.
std::string disagreement(const testing::VectorCase& c) {
  std::vector<MacroDef> defs;
  codec::Status st;
  if (c.kind == "macro") {
    defs.emplace_back();
    st = read(c, defs.back());
  } else {
    st = read(c, defs);
  }
  if (!st) {
    std::string got = "ERR " + st.error().text();
    return got == c.expect ? "" : got;
  }
  if (!c.ok()) return "OK";
  // Each definition's head must appear in the expected text, in order.
  const std::string_view expected = c.expected_text();
  std::size_t at = 0;
  for (const MacroDef& m : defs) {
    const std::string head = head_of(m);
    const std::size_t found = expected.find(head, at);
    if (found == std::string_view::npos) return "OK, but no " + head + " in order";
    at = found + head.size();
  }
  const std::size_t expected_count =
      c.kind == "macro" ? 1 : [&] {
        std::size_t n = 0;
        for (std::size_t p = expected.find("{\"name\":"); p != std::string_view::npos;
             p = expected.find("{\"name\":", p + 1)) {
          ++n;
        }
        return n;
      }();
  if (defs.size() > expected_count) return "OK, but " + std::to_string(defs.size()) + " macros";
  return "";
}

TEST(VectorsMacro, EveryCaseOfTheMacroKindsAgrees) {
  testing::expect_every_case_agrees({"macro", "macros"}, [](const testing::VectorCase& c) {
    std::string differs = disagreement(c);
    return differs.empty() ? c.expect : differs;
  });
}

}  // namespace
}  // namespace vostrel
