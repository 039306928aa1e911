// Runs the shared reader reference cases of the kernel kinds through the
// kernel readers and compares the outcome exactly.
#include <gtest/gtest.h>

#include <functional>

#include "engine/kernel/types_io.h"
#include "engine/kernel/value_io.h"
#include "engine/tests/vectors.h"

namespace vostrel {
namespace {

using codec::Deserializer;
using codec::Status;

// Reads `input` as one document of type T; on success returns "OK " plus
// `canonical` of the result (or just "OK" when there is no writer).
template <class T>
std::string run(const testing::VectorCase& c, std::function<std::string(const T&)> canonical) {
  T out{};
  auto read = [&](Deserializer& d) { return codec::Codec<T>::read(d, out); };
  Status st = c.format == "json" ? codec::read_json(c.input, read) : codec::read_msgpack(c.input, read);
  if (!st) return "ERR " + st.error().text();
  return canonical ? "OK " + canonical(out) : "OK";
}

std::string outcome(const testing::VectorCase& c) {
  using namespace kernel;
  if (c.kind == "value") return run<Value>(c, [](const Value& v) { return json_text(v); });
  if (c.kind == "env") return run<Env>(c, [](const Env& e) { return json_text(e); });
  if (c.kind == "expr") return run<Expr>(c, nullptr);
  if (c.kind == "rec_field") return run<RecField>(c, nullptr);
  if (c.kind == "vtype") return run<std::optional<VType>>(c, nullptr);
  if (c.kind == "slot") return run<SlotDef>(c, nullptr);
  if (c.kind == "update") return run<Update>(c, nullptr);
  if (c.kind == "rule") return run<Rule>(c, nullptr);
  if (c.kind == "transducer") return run<TransducerDef>(c, nullptr);
  if (c.kind == "transducers") return run<std::vector<TransducerDef>>(c, nullptr);
  return "unsupported kind";
}

TEST(VectorsKernel, EveryCaseOfTheKernelKindsAgrees) {
  testing::expect_every_case_agrees({"value", "env", "expr", "rec_field", "vtype", "slot",
                                     "update", "rule", "transducer", "transducers"},
                                    outcome);
}

}  // namespace
}  // namespace vostrel
