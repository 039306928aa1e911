// A snapshot read from MessagePack bytes (Snapshot.from_msgpack), then written to
// both forms and read back.
#include "snapshot_forms.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view doc = fuzz::as_text(data, size);
  auto snapshot = session::snapshot_from_msgpack(doc);
  if (!snapshot) {
    fuzz::check_msgpack_error(snapshot.error());
    return 0;
  }
  fuzz::snapshot_round_trip(*snapshot);
  return 0;
}
