// The token source interface shared by every reader.
//
// A format (JSON text, MessagePack bytes, or the generic parsed tree of
// content.h) implements `Deserializer`; a typed reader (a record, a Value, an
// expression) implements `Visitor`. The typed reader asks the format for the
// kind of thing it wants (`string`, `structure`, `identifier`, ...), and the
// format answers by calling the visitor with what it actually found. The
// format knows nothing of records and a record knows nothing of formats; the
// exact texts and positions of errors follow from that split:
//
//  * a visitor refuses what it cannot take with "invalid type: {found},
//    expected {expecting()}" (the default of every visit_* method);
//  * the format decides what counts as what (JSON has one kind of integer
//    per sign, MessagePack keeps the width; a JSON tag must be a string,
//    the parsed tree also takes a variant index) and where a JSON error
//    points (see json_reader.h).
//
// Sequences and maps are walked through `SeqAccess` / `MapAccess`, each
// element read by a `Seed`: a callable that reads one thing from the
// deserializer it is handed.
//
// One exception to the split, on the side of the readers: the JSON and
// MessagePack formats also hand out their cursors (`Deserializer::
// fast_cursor`, `JsonCursor` in json_reader.h, `MsgpackCursor` in
// msgpack_reader.h), that is their position, their count of open levels
// and the scans they read with (blanks, plain strings with their escapes,
// integers, lengths) as inline reads; and the kernel's Value reader takes a
// tree written the way this system writes it straight from such a cursor,
// with one virtual call per tree and none per token
// (engine/kernel/value_fast_read.h). Snapshots and states are almost all
// Values, and that is what takes the snapshot readers well under the
// reference codec's time. The formats still know nothing of Values, and
// whatever that reader does not take goes back to the visitors, which alone
// decide results and errors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "engine/codec/error.h"

// The one way a failure is passed up: returns the error of a failed Status
// or std::expected, given as an expression or as a named result (whose
// value the caller then reads with `*`):
//   VOSTREL_TRY(read_string(d, s));
//   auto n = parse_integer(true);
//   VOSTREL_TRY(n);
#define VOSTREL_TRY(expr)                                                        \
  do {                                                                           \
    if (auto&& vostrel_try_ = (expr); !vostrel_try_)                             \
      return std::unexpected(std::move(vostrel_try_.error()));                   \
  } while (0)

namespace vostrel::codec {

// A non-owning reference to a callable; the callable must outlive the call.
template <class Sig>
class FnRef;

template <class R, class... A>
class FnRef<R(A...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FnRef> && std::is_invocable_r_v<R, F&, A...>)
  FnRef(F&& f)  // NOLINT: implicit by design, like a function reference
      : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* o, A... a) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(o))(std::forward<A>(a)...);
        }) {}
  R operator()(A... a) const { return call_(obj_, std::forward<A>(a)...); }

 private:
  void* obj_;
  R (*call_)(void*, A...);
};

class Deserializer;
class SeqAccess;
class MapAccess;
class EnumAccess;
class JsonCursor;
class MsgpackCursor;
struct Content;

using Seed = FnRef<Status(Deserializer&)>;

// An array or map opened by Deserializer::open: its length, and how many
// elements a reader may reserve room for (a forged length reserves no more
// than the input could hold). `kind` None: nothing was opened.
struct Opened {
  enum class Kind : std::uint8_t { None, Seq, Map };
  Kind kind = Kind::None;
  std::uint32_t len = 0;
  std::size_t hint = 0;
};

// The cursor of a format that a reader may read straight from, without a
// call per token (json_reader.h, msgpack_reader.h); at most one is set.
struct FastCursor {
  JsonCursor* json = nullptr;
  MsgpackCursor* msgpack = nullptr;
};

// The answers a format can give. Integers carry the width they were stored
// with (MessagePack keeps it; JSON says 64), which only the parsed tree's
// identifier rule looks at.
class Visitor {
 public:
  virtual ~Visitor() = default;
  // The "expected {}" part of this visitor's type errors.
  virtual std::string expecting() const = 0;

  virtual Status visit_bool(bool v);
  virtual Status visit_u64(std::uint64_t v, int bits = 64);
  virtual Status visit_i64(std::int64_t v, int bits = 64);
  virtual Status visit_f64(double v, int bits = 64);
  virtual Status visit_str(std::string_view v);
  virtual Status visit_bytes(std::string_view v);
  virtual Status visit_unit();
  virtual Status visit_none();
  virtual Status visit_some(Deserializer& d);
  virtual Status visit_newtype(Deserializer& d);
  virtual Status visit_seq(SeqAccess& seq);
  virtual Status visit_map(MapAccess& map);
  virtual Status visit_enum(EnumAccess& data);

 protected:
  std::unexpected<Error> refuse(const Unexpected& found) const {
    return invalid_type(found, expecting());
  }
};

class SeqAccess {
 public:
  virtual ~SeqAccess() = default;
  // Reads the next element through `seed`; false when the sequence ended.
  virtual std::expected<bool, Error> next_element(Seed seed) = 0;
  // How many elements are still to come, where the format says so up front
  // (0: unknown): a reader may reserve room for them.
  virtual std::size_t size_hint() const { return 0; }
};

class MapAccess {
 public:
  virtual ~MapAccess() = default;
  // Reads the next key through `seed`; false when the map ended.
  virtual std::expected<bool, Error> next_key(Seed seed) = 0;
  // Reads the value of the key just read.
  virtual Status next_value(Seed seed) = 0;
};

// A tag of an enumeration: the variant's name (or index) and, for the
// one-entry-map form, the entry's value, which must be unit.
class EnumAccess {
 public:
  virtual ~EnumAccess() = default;
  virtual Status variant(Seed seed) = 0;
  virtual Status unit_variant() = 0;
};

class Deserializer {
 public:
  virtual ~Deserializer() = default;
  // Whatever comes next.
  virtual Status any(Visitor& v) = 0;
  virtual Status boolean(Visitor& v) { return any(v); }
  virtual Status i64(Visitor& v) { return any(v); }
  virtual Status u64(Visitor& v) { return any(v); }
  virtual Status string(Visitor& v) { return any(v); }
  virtual Status seq(Visitor& v) { return any(v); }
  virtual Status map(Visitor& v) { return any(v); }
  // A record: a map or a positional array.
  virtual Status structure(Visitor& v) { return any(v); }
  // A tag read as an enumeration (a name or a one-entry map).
  virtual Status enumeration(Visitor& v) = 0;
  // A field or variant name (or index).
  virtual Status identifier(Visitor& v) { return any(v); }
  virtual Status option(Visitor& v) = 0;
  virtual Status unit(Visitor& v) { return any(v); }
  // Skips one well-formed value.
  virtual Status ignored_any(Visitor& v) { return any(v); }
  // For readers that keep a stack of their own instead of recursing once per
  // level (the Value reader): where the next item is an array (`seq`) or a
  // map (`map`), opens it, counting its level against the depth limit, and
  // says how long it is; its elements (a map's keys and values in turn) then
  // follow as items of this same deserializer, and close() ends it, given
  // how many of its elements (entries) were left unread, which the format
  // refuses in its own words. Anything else is left in place to be read as
  // usual (kind None), and so is everything in a format whose containers are
  // read only by visiting them.
  virtual std::expected<Opened, Error> open(bool /*seq*/, bool /*map*/) { return Opened{}; }
  virtual Status close(const Opened& /*opened*/, std::uint32_t /*left*/) { return {}; }
  // The whole parsed tree this reads from, if it reads from one (content.h):
  // a reader about to hold the next value can refer to it instead of copying
  // it, since the tree outlives the reading of its parts.
  virtual const Content* held() const { return nullptr; }
  // The format's own cursor, for a reader that takes the next value straight
  // from the input when it is written the way this system writes it; none
  // where the format has no such cursor or offers it no longer (see the
  // cursor). A reader that does not take what it finds puts the cursor back
  // where it was handed over, so that the value is read the usual way, which
  // then gives every result and error as it always does.
  virtual FastCursor fast_cursor() { return {}; }
};

// Skips whatever it is given.
class IgnoredAny final : public Visitor {
 public:
  std::string expecting() const override { return "anything at all"; }
  Status visit_bool(bool) override { return {}; }
  Status visit_u64(std::uint64_t, int) override { return {}; }
  Status visit_i64(std::int64_t, int) override { return {}; }
  Status visit_f64(double, int) override { return {}; }
  Status visit_str(std::string_view) override { return {}; }
  Status visit_bytes(std::string_view) override { return {}; }
  Status visit_unit() override { return {}; }
  Status visit_none() override { return {}; }
  Status visit_some(Deserializer& d) override { return d.ignored_any(*this); }
  Status visit_newtype(Deserializer& d) override { return d.ignored_any(*this); }
  Status visit_seq(SeqAccess& seq) override;
  Status visit_map(MapAccess& map) override;
};

// A seed that skips one value.
inline constexpr auto ignore = [](Deserializer& d) -> Status {
  IgnoredAny v;
  return d.ignored_any(v);
};

}  // namespace vostrel::codec
