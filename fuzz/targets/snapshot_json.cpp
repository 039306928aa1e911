// A snapshot read from JSON text (Snapshot.from_json), then written to
// both forms and read back.
#include "snapshot_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view doc = fuzz::as_text(data, size);
  auto snapshot = session::snapshot_from_json(doc);
  if (!snapshot) {
    fuzz::check_json_error(doc, snapshot.error());
    return 0;
  }
  fuzz::snapshot_round_trip(*snapshot);
  return 0;
}
