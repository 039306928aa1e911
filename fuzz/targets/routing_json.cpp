// A routing configuration read from JSON text ("topology_json"); what reads
// writes back, and the text written reads back equal and writes the same.
#include "engine/kernel/routing.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view text = fuzz::as_text(data, size);
  auto routing = kernel::routing_from_json(text);
  if (!routing) {
    fuzz::check_json_error(text, routing.error());
    return 0;
  }
  const std::string written = kernel::routing_to_json(*routing);
  auto again = kernel::routing_from_json(written);
  fuzz::check(again.has_value(), "a written routing configuration does not read back", written);
  fuzz::check(*again == *routing, "a routing configuration reads back unequal", written);
  fuzz::check(kernel::routing_to_json(*again) == written, "rewriting gives other text", written);
  return 0;
}
