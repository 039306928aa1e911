// Round trips: whatever a reader accepts, both writers write, and both
// readers read back equal, and writing what was read back gives the same
// bytes; unless the form would be nested deeper than its reader takes, which
// the writer must then refuse with its own message.
//
// The first byte picks what is read and how: a Value, an Env or a
// Snapshot, from JSON text or MessagePack bytes; the rest is the document.
#include <functional>

#include "engine/kernel/value_io.h"
#include "engine/session.h"
#include "fuzz_support.h"
#include "snapshot_forms.h"

namespace {

using namespace vostrel;

template <class T>
struct Forms {
  std::function<Result<T>(std::string_view)> from_json, from_msgpack;
  std::function<Result<std::string>(const T&)> to_json, to_msgpack;
  std::function<std::size_t(const T&)> nesting;  // as value_nesting counts it
};

// Writes `original` in one form: refused with the writer's text exactly when
// the form would be nested deeper than its reader takes; otherwise it reads
// back equal and writes the same bytes again.
template <class T>
void write_and_read_back(const Forms<T>& f, const T& original, bool json) {
  auto written = json ? f.to_json(original) : f.to_msgpack(original);
  const std::size_t limit = json ? fuzz::kJsonNesting : fuzz::kMsgpackNesting;
  if (f.nesting(original) > limit) {
    fuzz::check(!written, "a form nested beyond the limit was written", written ? *written : "");
    fuzz::check(written.error() == (json ? kernel::kJsonTooDeep : kernel::kMsgpackTooDeep),
                "wrong message for a form nested beyond the limit", written.error());
    return;
  }
  fuzz::check(written.has_value(), "a form within the limit was refused",
              written ? std::string_view{} : std::string_view(written.error()));
  auto again = json ? f.from_json(*written) : f.from_msgpack(*written);
  fuzz::check(again.has_value(), json ? "JSON written does not read back" : "MessagePack written does not read back",
              again ? std::string_view{} : std::string_view(again.error()));
  fuzz::check(*again == original, "read back unequal", *written);
  auto rewritten = json ? f.to_json(*again) : f.to_msgpack(*again);
  fuzz::check(rewritten && *rewritten == *written, "writing what was read back gives other bytes",
              *written);
}

template <class T>
void round_trip(const Forms<T>& f, std::string_view doc, bool json) {
  auto read = json ? f.from_json(doc) : f.from_msgpack(doc);
  if (!read) {
    if (json) fuzz::check_json_error(doc, read.error());
    else fuzz::check_msgpack_error(read.error());
    return;
  }
  write_and_read_back(f, *read, true);
  write_and_read_back(f, *read, false);
}

const Forms<kernel::Value> kValue{
    kernel::value_from_json, kernel::value_from_msgpack,
    [](const kernel::Value& v) { return kernel::to_json(v); },
    [](const kernel::Value& v) { return kernel::to_msgpack(v); }, fuzz::value_nesting};

const Forms<kernel::Env> kEnv{
    kernel::env_from_json, kernel::env_from_msgpack,
    [](const kernel::Env& e) { return kernel::to_json(e); },
    [](const kernel::Env& e) { return kernel::to_msgpack(e); }, fuzz::env_nesting};

const Forms<session::Snapshot> kSnapshot{
    session::snapshot_from_json, session::snapshot_from_msgpack, session::snapshot_to_json,
    session::snapshot_to_msgpack, fuzz::snapshot_nesting};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // '0'..'7' (as % 8): Value JSON, Value MessagePack, Env JSON, Env
  // MessagePack, Snapshot JSON, Snapshot MessagePack; 6 and 7 as 0 and 1.
  const std::uint8_t mode = data[0] % 8;
  const std::string_view doc = fuzz::as_text(data + 1, size - 1);
  switch (mode) {
    case 0: case 6: round_trip(kValue, doc, true); break;
    case 1: case 7: round_trip(kValue, doc, false); break;
    case 2: round_trip(kEnv, doc, true); break;
    case 3: round_trip(kEnv, doc, false); break;
    case 4: round_trip(kSnapshot, doc, true); break;
    case 5: round_trip(kSnapshot, doc, false); break;
  }
  return 0;
}
