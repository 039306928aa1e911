#include "engine/stdlib.h"

#include <cstddef>

#include "engine/kernel/expand.h"
#include "engine/kernel/expand_io.h"
#include "engine/kernel/types_io.h"

namespace vostrel::stdlib {
namespace {

#include "vostrel/std_macros_json.inc"
#include "vostrel/stdlib_msgpack.inc"

std::string_view bytes_of(const unsigned char* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace

std::vector<kernel::TransducerDef> load(std::string_view transducers_msgpack,
                                        std::string_view macros_json) {
  auto stored = kernel::transducers_from_msgpack(transducers_msgpack);
  if (!stored) throw StdlibFault("stdlib.msgpack is generated at build time and must be valid");
  auto macros = kernel::expand::macros_from_json(macros_json);
  if (!macros) throw StdlibFault("std_macros.json must be valid");
  const kernel::expand::MacroTable table = kernel::expand::build_macro_table(std::move(*macros));
  std::vector<kernel::TransducerDef> expanded;
  expanded.reserve(stored->size());
  for (const kernel::TransducerDef& t : *stored) {
    auto e = kernel::expand::expand_transducer(table, t);
    if (!e) throw StdlibFault("stdlib transducers must expand without errors");
    expanded.push_back(std::move(*e));
  }
  return expanded;
}

std::string_view stdlib_msgpack() { return bytes_of(kStdlibMsgpack, kStdlibMsgpack_size); }
std::string_view std_macros_json() { return bytes_of(kStdMacrosJson, kStdMacrosJson_size); }

std::vector<kernel::TransducerDef> stdlib() { return load(stdlib_msgpack(), std_macros_json()); }

std::pair<std::string, kernel::Env> session_init(std::vector<kernel::Value> context) {
  kernel::Env data;
  data.emplace("context", kernel::Value::list(std::move(context)));
  return {"SessionInit", std::move(data)};
}

}  // namespace vostrel::stdlib
