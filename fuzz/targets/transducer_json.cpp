// A transducer definition read from JSON text (load_transducer's reader).
#include "engine/kernel/types_io.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view text = fuzz::as_text(data, size);
  auto def = kernel::transducer_from_json(text);
  if (!def) fuzz::check_json_error(text, def.error());
  return 0;
}
