// Round trips: whatever a reader accepts, both writers write, and both
// readers read back equal (unless the form written is nested deeper than the
// reader takes, which must then fail with the reader's limit message), and
// writing what was read back gives the same bytes.
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
  std::function<std::string(const T&)> to_json, to_msgpack;
  std::function<std::size_t(const T&)> nesting;  // as value_nesting counts it
};

template <class T>
void read_back(const Forms<T>& f, const T& original, const std::string& written, bool json) {
  auto again = json ? f.from_json(written) : f.from_msgpack(written);
  const std::size_t limit = json ? fuzz::kJsonNesting : fuzz::kMsgpackNesting;
  if (f.nesting(original) > limit) {
    fuzz::check(!again, "a form nested beyond the limit was read back", written);
    const std::string& m = again.error();
    fuzz::check(m.starts_with(json ? "recursion limit exceeded" : "depth limit exceeded"),
                "wrong message for a form nested beyond the limit", m);
    return;
  }
  fuzz::check(again.has_value(), json ? "JSON written does not read back" : "MessagePack written does not read back",
              again ? std::string_view{} : std::string_view(again.error()));
  fuzz::check(*again == original, "read back unequal", written);
  const std::string rewritten = json ? f.to_json(*again) : f.to_msgpack(*again);
  fuzz::check(rewritten == written, "writing what was read back gives other bytes", rewritten);
}

template <class T>
void round_trip(const Forms<T>& f, std::string_view doc, bool json) {
  auto read = json ? f.from_json(doc) : f.from_msgpack(doc);
  if (!read) {
    if (json) fuzz::check_json_error(doc, read.error());
    else fuzz::check_msgpack_error(read.error());
    return;
  }
  read_back(f, *read, f.to_json(*read), true);
  read_back(f, *read, f.to_msgpack(*read), false);
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
