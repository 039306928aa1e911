// A session definition read from JSON text, then loaded and validated (what
// load_session_def and the two validate functions do with it).
#include "engine/session_def.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vostrel;
  const std::string_view text = fuzz::as_text(data, size);
  auto def = session_def::from_json(text);
  if (!def) {
    fuzz::check_json_error(text, def.error());
    return 0;
  }
  const session_def::LoadResult loaded = session_def::load(*def);
  fuzz::check(loaded.transducer_names == def->transducers, "load changed the transducer names");
  fuzz::check(loaded.config == def->config, "load changed the config");
  for (const auto& c : def->connections)
    fuzz::check(loaded.source_ids.contains(c.source_id), "load lost a source id", c.source_id);

  const auto errors = session_def::validate(*def);
  for (const auto& e : errors) fuzz::check(!e.display().empty(), "an empty validation message");
  const auto strict = session_def::validate_strict(*def);
  fuzz::check(strict.has_value() == errors.empty(), "validate_strict disagrees with validate");
  if (!strict) fuzz::check(strict.error() == errors.front(), "validate_strict's error is not the first");
  return 0;
}
