// A MessagePack array of transducer definitions (the standard library's
// reader).
#include "engine/kernel/types_io.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  auto defs = kernel::transducers_from_msgpack(fuzz::as_text(data, size));
  if (!defs) fuzz::check_msgpack_error(defs.error());
  return 0;
}
