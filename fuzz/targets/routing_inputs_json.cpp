// The JSON inputs of routing derivation (resolve_source, derive_topology,
// derive_inbound_checks). The first byte picks the reader: '0' (as % 3)
// source registrations, '1' outbound checks, '2' inbound checks.
#include "engine/routing_inputs.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  if (size == 0) return 0;
  const std::string_view text = fuzz::as_text(data + 1, size - 1);
  auto check = [&](const auto& r) {
    if (!r) fuzz::check_json_error(text, r.error());
  };
  switch (data[0] % 3) {
    case 0: check(routing_inputs::sources_from_json(text)); break;
    case 1: check(routing_inputs::outbound_checks_from_json(text)); break;
    default: check(routing_inputs::inbound_checks_from_json(text)); break;
  }
  return 0;
}
