// A list of inbound-check definitions read from JSON text
// ("inbound_checks_json"), written back and read again.
#include "engine/kernel/routing.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view text = fuzz::as_text(data, size);
  auto checks = kernel::inbound_checks_from_json(text);
  if (!checks) {
    fuzz::check_json_error(text, checks.error());
    return 0;
  }
  const std::string written = kernel::inbound_checks_to_json(*checks);
  auto again = kernel::inbound_checks_from_json(written);
  fuzz::check(again.has_value(), "written inbound checks do not read back", written);
  fuzz::check(*again == *checks, "inbound checks read back unequal", written);
  fuzz::check(kernel::inbound_checks_to_json(*again) == written, "rewriting gives other text", written);
  return 0;
}
