// Reader errors and the descriptions of what a reader found.
//
// Every reader reports the first fault it meets as one message. JSON
// messages carry the position at which the reader stood when it detected
// the fault; an error made by a typed reader (missing field, invalid type,
// ...) starts without a position and receives one from the innermost JSON
// container read that it leaves (see json_reader.h). MessagePack messages
// never carry a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/codec/text.h"

namespace vostrel::codec {

// One fault. It is held out of line: a reader recurses once per nesting
// level, and every frame on the way holds results that may carry an Error,
// so an Error is one pointer (a Status two words) rather than the whole
// record; only a read that fails pays for the allocation.
struct Fault {
  static constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

  std::string message;
  std::size_t line = 0;  // 0: no position
  std::size_t column = 0;
  // While a JSON text is read: the byte offset the position is taken from
  // (turned into line and column when the read ends).
  std::size_t offset = kNoOffset;
  // Set by the Value reader: its type errors name a JSON null "unit value",
  // where every other JSON read names it "null".
  bool null_as_unit = false;
};

class Error {
 public:
  static constexpr std::size_t kNoOffset = Fault::kNoOffset;

  explicit Error(std::string message) : fault_(std::make_unique<Fault>(Fault{std::move(message)})) {}
  Error(const Error& other) : fault_(std::make_unique<Fault>(*other.fault_)) {}
  Error& operator=(const Error& other) {
    fault_ = std::make_unique<Fault>(*other.fault_);
    return *this;
  }
  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  ~Error() = default;

  Fault* operator->() { return fault_.get(); }
  const Fault* operator->() const { return fault_.get(); }
  bool has_position() const { return fault_->line != 0; }
  // "message", or "message at line L column C" once positioned.
  std::string text() const;

 private:
  std::unique_ptr<Fault> fault_;
};

using Status = std::expected<void, Error>;

inline std::unexpected<Error> error(std::string message) {
  return std::unexpected<Error>(Error(std::move(message)));
}

// What a reader found where it expected something else; describe() renders it
// the way "invalid type" / "invalid value" messages show it.
struct Unexpected {
  enum class Kind : std::uint8_t {
    Bool, Unsigned, Signed, Float, Str, Bytes, Unit, Option, NewtypeStruct, Seq, Map, Enum,
    UnitVariant,
  };
  Kind kind = Kind::Unit;
  bool b = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
  std::string_view s;  // Str only; must outlive the call that uses it

  static Unexpected boolean(bool v) { Unexpected x = of(Kind::Bool); x.b = v; return x; }
  static Unexpected unsigned_int(std::uint64_t v) { Unexpected x = of(Kind::Unsigned); x.u = v; return x; }
  static Unexpected signed_int(std::int64_t v) { Unexpected x = of(Kind::Signed); x.i = v; return x; }
  static Unexpected floating(double v) { Unexpected x = of(Kind::Float); x.f = v; return x; }
  static Unexpected str(std::string_view v) { Unexpected x = of(Kind::Str); x.s = v; return x; }
  static Unexpected of(Kind k) {
    Unexpected x;
    x.kind = k;
    return x;
  }
};

// "integer `5`", "string \"x\"", "floating point `1.5`", "boolean `true`",
// "unit value", "sequence", "map", "byte array", "newtype struct", ...
// (JSON readers turn "unit value" into "null", see json_reader.h.)
std::string describe(const Unexpected& found);

// A float as the messages show it: the shortest text that reads back as the
// same number, written out in full without an exponent ("1" for 1.0, "1000"
// for 1e3, "0.0025", "-0", "inf", "NaN").
std::string format_float(double v);

// The fixed message forms of the typed readers.
std::unexpected<Error> invalid_type(const Unexpected& found, std::string_view expected);
std::unexpected<Error> invalid_value(const Unexpected& found, std::string_view expected);
std::unexpected<Error> invalid_length(std::size_t len, std::string_view expected);
std::unexpected<Error> missing_field(std::string_view field);
std::unexpected<Error> duplicate_field(std::string_view field);
std::unexpected<Error> unknown_variant(std::string_view variant,
                                       std::span<const std::string_view> names);

// "struct SlotDef with 2 elements", "... with 1 element".
std::string with_elements(std::string_view what, std::size_t n);
// "2 elements in sequence", "1 element in sequence".
std::string elements_in(std::size_t n, std::string_view container);

}  // namespace vostrel::codec
