#include "engine/codec/json_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace vostrel::codec {
namespace {

constexpr double kPow10[309] = {
1e0,1e1,1e2,1e3,1e4,1e5,1e6,1e7,1e8,1e9,1e10,1e11,1e12,1e13,1e14,1e15,1e16,1e17,1e18,1e19,1e20,1e21,1e22,1e23,1e24,1e25,1e26,1e27,1e28,1e29,1e30,1e31,1e32,1e33,1e34,1e35,1e36,1e37,1e38,1e39,1e40,1e41,1e42,1e43,1e44,1e45,1e46,1e47,1e48,1e49,1e50,1e51,1e52,1e53,1e54,1e55,1e56,1e57,1e58,1e59,1e60,1e61,1e62,1e63,1e64,1e65,1e66,1e67,1e68,1e69,1e70,1e71,1e72,1e73,1e74,1e75,1e76,1e77,1e78,1e79,1e80,1e81,1e82,1e83,1e84,1e85,1e86,1e87,1e88,1e89,1e90,1e91,1e92,1e93,1e94,1e95,1e96,1e97,1e98,1e99,1e100,1e101,1e102,1e103,1e104,1e105,1e106,1e107,1e108,1e109,1e110,1e111,1e112,1e113,1e114,1e115,1e116,1e117,1e118,1e119,1e120,1e121,1e122,1e123,1e124,1e125,1e126,1e127,1e128,1e129,1e130,1e131,1e132,1e133,1e134,1e135,1e136,1e137,1e138,1e139,1e140,1e141,1e142,1e143,1e144,1e145,1e146,1e147,1e148,1e149,1e150,1e151,1e152,1e153,1e154,1e155,1e156,1e157,1e158,1e159,1e160,1e161,1e162,1e163,1e164,1e165,1e166,1e167,1e168,1e169,1e170,1e171,1e172,1e173,1e174,1e175,1e176,1e177,1e178,1e179,1e180,1e181,1e182,1e183,1e184,1e185,1e186,1e187,1e188,1e189,1e190,1e191,1e192,1e193,1e194,1e195,1e196,1e197,1e198,1e199,1e200,1e201,1e202,1e203,1e204,1e205,1e206,1e207,1e208,1e209,1e210,1e211,1e212,1e213,1e214,1e215,1e216,1e217,1e218,1e219,1e220,1e221,1e222,1e223,1e224,1e225,1e226,1e227,1e228,1e229,1e230,1e231,1e232,1e233,1e234,1e235,1e236,1e237,1e238,1e239,1e240,1e241,1e242,1e243,1e244,1e245,1e246,1e247,1e248,1e249,1e250,1e251,1e252,1e253,1e254,1e255,1e256,1e257,1e258,1e259,1e260,1e261,1e262,1e263,1e264,1e265,1e266,1e267,1e268,1e269,1e270,1e271,1e272,1e273,1e274,1e275,1e276,1e277,1e278,1e279,1e280,1e281,1e282,1e283,1e284,1e285,1e286,1e287,1e288,1e289,1e290,1e291,1e292,1e293,1e294,1e295,1e296,1e297,1e298,1e299,1e300,1e301,1e302,1e303,1e304,1e305,1e306,1e307,1e308};

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControlChar =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kRecursion = "recursion limit exceeded";

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// What each one-letter escape stands for; 0 for every other byte.
constexpr std::array<char, 256> kShortEscapes = [] {
  std::array<char, 256> t{};
  t['"'] = '"';
  t['\\'] = '\\';
  t['/'] = '/';
  t['b'] = '\b';
  t['f'] = '\f';
  t['n'] = '\n';
  t['r'] = '\r';
  t['t'] = '\t';
  return t;
}();

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Number {
  enum class Kind { U64, I64, F64 } kind;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;

  Status visit(Visitor& v) const {
    switch (kind) {
      case Kind::U64: return v.visit_u64(u);
      case Kind::I64: return v.visit_i64(i);
      case Kind::F64: return v.visit_f64(f);
    }
    return {};
  }
  Unexpected unexpected() const {
    switch (kind) {
      case Kind::U64: return Unexpected::unsigned_int(u);
      case Kind::I64: return Unexpected::signed_int(i);
      case Kind::F64: break;
    }
    return Unexpected::floating(f);
  }
  static Number of_f64(double f) { Number n{Kind::F64}; n.f = f; return n; }
};

template <class T>
using Res = std::expected<T, Error>;


class Json final : public Deserializer, public JsonCursor {
 public:
  explicit Json(std::string_view text) : JsonCursor(text) {}

  Status any(Visitor& v) override;
  Status boolean(Visitor& v) override;
  Status i64(Visitor& v) override { return number(v); }
  Status u64(Visitor& v) override { return number(v); }
  Status string(Visitor& v) override;
  Status seq(Visitor& v) override;
  Status map(Visitor& v) override;
  Status structure(Visitor& v) override;
  Status enumeration(Visitor& v) override;
  Status identifier(Visitor& v) override { return string(v); }
  Status option(Visitor& v) override;
  Status unit(Visitor& v) override;
  Status ignored_any(Visitor& v) override;
  FastCursor fast_cursor() override {
    if (fast_off()) return {};
    return {.json = this};
  }

  Status end() {
    if (parse_whitespace() >= 0) return peek_error(kTrailingCharacters);
    return {};
  }

  // Turns the byte offset of an error into its line and column.
  void locate(Error& e) const {
    if (e->offset == Error::kNoOffset) return;
    std::size_t line = 1, column = 0;
    for (std::size_t k = 0; k < e->offset && k < len_; ++k) {
      if (data_[k] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    e->line = line;
    e->column = column;
  }

  // Parts used by the sequence, map and enum walkers, besides the cursor's.
  Error fix(Error e) const {
    if (e->offset == Error::kNoOffset) e->offset = index_;
    return e;
  }
  Status parse_object_colon() {
    int c = parse_whitespace();
    if (c == ':') {
      eat();
      return {};
    }
    if (c < 0) return peek_error(kEofObject);
    return peek_error(kExpectedColon);
  }
  Status end_seq();
  Status end_map();

 private:
  Status parse_ident(std::string_view rest) {
    for (char expected : rest) {
      int c = next();
      if (c < 0) return error_here(kEofValue);
      if (c != static_cast<unsigned char>(expected)) return error_here(kExpectedIdent);
    }
    return {};
  }
  Status ignore_str();
  Status ignore_escape();
  Status ignore_integer();
  Status ignore_decimal();
  Status ignore_exponent();
  Status ignore_value();

  Res<Number> parse_integer(bool positive);
  Res<Number> parse_number(bool positive, std::uint64_t significand);
  Res<double> parse_decimal(bool positive, std::uint64_t significand, std::int32_t exponent);
  Res<double> parse_exponent(bool positive, std::uint64_t significand, std::int32_t starting);
  Res<double> parse_exponent_overflow(bool positive, bool zero_significand, bool positive_exp);
  Res<double> parse_decimal_overflow(bool positive, std::uint64_t significand,
                                     std::int32_t exponent);
  Res<double> parse_long_integer(bool positive, std::uint64_t significand);
  Res<double> f64_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent);

  Error peek_invalid_type(const Visitor& v);
  Res<Unexpected> describe_next();
  Status number(Visitor& v);
  Status finish(Status value) {
    if (!value) return std::unexpected(fix(std::move(value.error())));
    return value;
  }
  // Opens an array or object (the bracket is next): counts the level. The
  // typed readers recurse once per level, at about 0.6 KiB of stack each
  // (json_reader.h).
  bool descend() { return --remaining_depth_ != 0; }
  void ascend() { ++remaining_depth_; }
  Status visit_seq_here(Visitor& v);
  Status visit_map_here(Visitor& v);
  template <class Takes, class Read>
  Status request(Visitor& v, Takes takes, Read read);
};

// Map keys: always strings.
class MapKey final : public Deserializer {
 public:
  explicit MapKey(Json& de) : de_(de) {}
  Status any(Visitor& v) override {
    de_.eat();
    de_.scratch_.clear();
    auto s = de_.parse_str();
    VOSTREL_TRY(s);
    return v.visit_str(*s);
  }
  Status enumeration(Visitor& v) override { return de_.enumeration(v); }
  Status option(Visitor& v) override { return v.visit_some(*this); }

 private:
  Json& de_;
};

class JsonSeq final : public SeqAccess {
 public:
  explicit JsonSeq(Json& de) : de_(de) {}
  std::expected<bool, Error> next_element(Seed seed) override {
    int c = de_.parse_whitespace();
    if (c == ']') return false;
    if (c == ',' && !first_) {
      de_.eat();
      c = de_.parse_whitespace();
    } else if (c >= 0) {
      if (!first_) return de_.peek_error(kListCommaOrEnd);
      first_ = false;
    } else {
      return de_.peek_error(kEofList);
    }
    if (c == ']') return de_.peek_error(kTrailingComma);
    if (c < 0) return de_.peek_error(kEofValue);
    VOSTREL_TRY(seed(de_));
    return true;
  }

 private:
  Json& de_;
  bool first_ = true;
};

class JsonMap final : public MapAccess {
 public:
  explicit JsonMap(Json& de) : de_(de) {}
  std::expected<bool, Error> next_key(Seed seed) override {
    int c = de_.parse_whitespace();
    if (c == '}') return false;
    if (c == ',' && !first_) {
      de_.eat();
      c = de_.parse_whitespace();
    } else if (c >= 0) {
      if (!first_) return de_.peek_error(kObjectCommaOrEnd);
      first_ = false;
    } else {
      return de_.peek_error(kEofObject);
    }
    if (c == '"') {
      MapKey key(de_);
      VOSTREL_TRY(seed(key));
      return true;
    }
    if (c == '}') return de_.peek_error(kTrailingComma);
    if (c < 0) return de_.peek_error(kEofValue);
    return de_.peek_error(kKeyMustBeString);
  }
  Status next_value(Seed seed) override {
    VOSTREL_TRY(de_.parse_object_colon());
    return seed(de_);
  }

 private:
  Json& de_;
  bool first_ = true;
};

// A tag written as a string.
class UnitVariant final : public EnumAccess {
 public:
  explicit UnitVariant(Json& de) : de_(de) {}
  Status variant(Seed seed) override { return seed(de_); }
  Status unit_variant() override { return {}; }

 private:
  Json& de_;
};

class UnitVisitor final : public Visitor {
 public:
  std::string expecting() const override { return "unit"; }
  Status visit_unit() override { return {}; }
};

// A tag written as a one-entry object {name: null}.
class VariantInObject final : public EnumAccess {
 public:
  explicit VariantInObject(Json& de) : de_(de) {}
  Status variant(Seed seed) override {
    VOSTREL_TRY(seed(de_));
    return de_.parse_object_colon();
  }
  Status unit_variant() override {
    UnitVisitor v;
    return de_.unit(v);
  }

 private:
  Json& de_;
};

}  // namespace

Res<std::string_view> JsonCursor::parse_str() {
  std::size_t start = index_;
  std::uint64_t seen = 0;
  for (;;) {
    index_ = skip_json_plain(data_, index_, len_, seen);
    if (index_ == len_) return error_here(kEofString);
    unsigned char c = data_[index_];
    if (c == '"') {
      std::string_view out;
      if (scratch_.empty()) {
        out = std::string_view(reinterpret_cast<const char*>(data_ + start), index_ - start);
      } else {
        scratch_.append(reinterpret_cast<const char*>(data_ + start), index_ - start);
        out = scratch_;
      }
      ++index_;
      // Escapes only ever add valid UTF-8: text whose own bytes are all
      // ASCII needs no second look.
      if ((seen & 0x8080808080808080ull) != 0 && !utf8_valid(out))
        return error_here(kInvalidCodePoint);
      return out;
    }
    if (c == '\\') {
      scratch_.append(reinterpret_cast<const char*>(data_ + start), index_ - start);
      ++index_;
      // The one-letter escapes (a quoted text inside a text has one every
      // few bytes) are taken in line.
      if (char plain = index_ < len_ ? kShortEscapes[data_[index_]] : '\0') {
        scratch_.push_back(plain);
        ++index_;
      } else {
        VOSTREL_TRY(parse_escape());
      }
      start = index_;
    } else {
      ++index_;
      return error_here(kControlChar);
    }
  }
}

Res<std::uint32_t> JsonCursor::decode_hex_escape() {
  if (index_ + 4 > len_) {
    index_ = len_;
    return error_here(kEofString);
  }
  std::uint32_t n = 0;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(data_[index_]);
    ++index_;
    if (h < 0) return error_here(kInvalidEscape);
    n = (n << 4) + static_cast<std::uint32_t>(h);
  }
  return n;
}

Status JsonCursor::parse_escape() {
  int c = next();
  if (c < 0) return error_here(kEofString);
  if (char plain = kShortEscapes[c]) {
    scratch_.push_back(plain);
    return {};
  }
  if (c != 'u') return error_here(kInvalidEscape);
  auto n1 = decode_hex_escape();
  VOSTREL_TRY(n1);
  if (*n1 >= 0xDC00 && *n1 <= 0xDFFF) return error_here(kLoneSurrogate);
  if (*n1 >= 0xD800 && *n1 <= 0xDBFF) {
    for (char want : {'\\', 'u'}) {
      int p = peek();
      if (p < 0) return error_here(kEofString);
      eat();
      if (p != want) return error_here(kEndOfHexEscape);
    }
    auto n2 = decode_hex_escape();
    VOSTREL_TRY(n2);
    if (*n2 < 0xDC00 || *n2 > 0xDFFF) return error_here(kLoneSurrogate);
    append_utf8(scratch_, (((*n1 - 0xD800) << 10) | (*n2 - 0xDC00)) + 0x10000);
    return {};
  }
  append_utf8(scratch_, *n1);
  return {};
}

namespace {

Status Json::ignore_escape() {
  int c = next();
  if (c < 0) return error_here(kEofString);
  if (kShortEscapes[c]) return {};
  if (c != 'u') return error_here(kInvalidEscape);
  auto n = decode_hex_escape();
  VOSTREL_TRY(n);
  return {};
}

Status Json::ignore_str() {
  std::uint64_t seen = 0;
  for (;;) {
    index_ = skip_json_plain(data_, index_, len_, seen);
    if (index_ == len_) return error_here(kEofString);
    unsigned char c = data_[index_];
    if (c == '"') {
      ++index_;
      return {};
    }
    if (c == '\\') {
      ++index_;
      VOSTREL_TRY(ignore_escape());
    } else {
      return error_here(kControlChar);
    }
  }
}

// --- numbers ---------------------------------------------------------------

bool overflows(std::uint64_t a, std::uint64_t b, std::uint64_t max) {
  return a >= max / 10 && (a > max / 10 || b > max % 10);
}

Res<Number> Json::parse_integer(bool positive) {
  int c = next();
  if (c < 0) return error_here(kEofValue);
  if (c == '0') {
    if (is_digit(peek())) return peek_error(kInvalidNumber);
    return parse_number(positive, 0);
  }
  if (c >= '1' && c <= '9') {
    std::uint64_t significand = static_cast<std::uint64_t>(c - '0');
    for (;;) {
      int p = peek();
      if (!is_digit(p)) return parse_number(positive, significand);
      std::uint64_t digit = static_cast<std::uint64_t>(p - '0');
      if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max())) {
        auto f = parse_long_integer(positive, significand);
        VOSTREL_TRY(f);
        return Number::of_f64(*f);
      }
      eat();
      significand = significand * 10 + digit;
    }
  }
  return error_here(kInvalidNumber);
}

Res<Number> Json::parse_number(bool positive, std::uint64_t significand) {
  int p = peek();
  Res<double> f = 0.0;
  if (p == '.') {
    f = parse_decimal(positive, significand, 0);
  } else if (p == 'e' || p == 'E') {
    f = parse_exponent(positive, significand, 0);
  } else if (positive) {
    Number n{Number::Kind::U64};
    n.u = significand;
    return n;
  } else if (significand == 0) {
    // "-0" is the integer 0: only a fraction or an exponent makes a float.
    return Number{Number::Kind::I64};
  } else {
    auto neg = static_cast<std::int64_t>(0 - significand);
    if (neg >= 0) return Number::of_f64(-static_cast<double>(significand));
    Number n{Number::Kind::I64};
    n.i = neg;
    return n;
  }
  VOSTREL_TRY(f);
  return Number::of_f64(*f);
}

Res<double> Json::parse_decimal(bool positive, std::uint64_t significand, std::int32_t exponent) {
  eat();
  while (is_digit(peek())) {
    std::uint64_t digit = static_cast<std::uint64_t>(peek() - '0');
    if (overflows(significand, digit, std::numeric_limits<std::uint64_t>::max()))
      return parse_decimal_overflow(positive, significand, exponent);
    eat();
    significand = significand * 10 + digit;
    exponent -= 1;
  }
  if (exponent == 0) {
    if (peek() >= 0) return peek_error(kInvalidNumber);
    return peek_error(kEofValue);
  }
  int p = peek();
  if (p == 'e' || p == 'E') return parse_exponent(positive, significand, exponent);
  return f64_from_parts(positive, significand, exponent);
}

Res<double> Json::parse_exponent(bool positive, std::uint64_t significand,
                                 std::int32_t starting) {
  eat();
  bool positive_exp = true;
  if (peek() == '+') {
    eat();
  } else if (peek() == '-') {
    eat();
    positive_exp = false;
  }
  int c = next();
  if (c < 0) return error_here(kEofValue);
  if (!is_digit(c)) return error_here(kInvalidNumber);
  std::int32_t exp = c - '0';
  while (is_digit(peek())) {
    eat();
    std::int32_t digit = data_[index_ - 1] - '0';
    if (overflows(static_cast<std::uint64_t>(exp), static_cast<std::uint64_t>(digit),
                  std::numeric_limits<std::int32_t>::max()))
      return parse_exponent_overflow(positive, significand == 0, positive_exp);
    exp = exp * 10 + digit;
  }
  std::int64_t wide = positive_exp ? std::int64_t{starting} + exp : std::int64_t{starting} - exp;
  wide = std::clamp<std::int64_t>(wide, std::numeric_limits<std::int32_t>::min(),
                                  std::numeric_limits<std::int32_t>::max());
  return f64_from_parts(positive, significand, static_cast<std::int32_t>(wide));
}

Res<double> Json::parse_exponent_overflow(bool positive, bool zero_significand,
                                          bool positive_exp) {
  if (!zero_significand && positive_exp) return error_here(kOutOfRange);
  while (is_digit(peek())) eat();
  return positive ? 0.0 : -0.0;
}

Res<double> Json::parse_decimal_overflow(bool positive, std::uint64_t significand,
                                         std::int32_t exponent) {
  while (is_digit(peek())) eat();
  int p = peek();
  if (p == 'e' || p == 'E') return parse_exponent(positive, significand, exponent);
  return f64_from_parts(positive, significand, exponent);
}

Res<double> Json::parse_long_integer(bool positive, std::uint64_t significand) {
  std::int32_t exponent = 0;
  for (;;) {
    int p = peek();
    if (is_digit(p)) {
      eat();
      exponent += 1;
    } else if (p == '.') {
      return parse_decimal(positive, significand, exponent);
    } else if (p == 'e' || p == 'E') {
      return parse_exponent(positive, significand, exponent);
    } else {
      return f64_from_parts(positive, significand, exponent);
    }
  }
}

// The same arithmetic as the reference reader, so that a float shown in a
// message has the same digits.
Res<double> Json::f64_from_parts(bool positive, std::uint64_t significand, std::int32_t exponent) {
  double f = static_cast<double>(significand);
  for (;;) {
    std::int64_t mag = exponent < 0 ? -std::int64_t{exponent} : exponent;
    if (mag < 309) {
      double pow = kPow10[mag];
      if (exponent >= 0) {
        f *= pow;
        if (std::isinf(f)) return error_here(kOutOfRange);
      } else {
        f /= pow;
      }
      break;
    }
    if (f == 0.0) break;
    if (exponent >= 0) return error_here(kOutOfRange);
    f /= 1e308;
    exponent += 308;
  }
  return positive ? f : -f;
}

Status Json::ignore_integer() {
  int c = next();
  if (c == '0') {
    if (is_digit(peek())) return peek_error(kInvalidNumber);
  } else if (c >= '1' && c <= '9') {
    while (is_digit(peek())) eat();
  } else {
    return error_here(kInvalidNumber);
  }
  int p = peek();
  if (p == '.') return ignore_decimal();
  if (p == 'e' || p == 'E') return ignore_exponent();
  return {};
}

Status Json::ignore_decimal() {
  eat();
  bool digit = false;
  while (is_digit(peek())) {
    eat();
    digit = true;
  }
  if (!digit) return peek_error(kInvalidNumber);
  int p = peek();
  if (p == 'e' || p == 'E') return ignore_exponent();
  return {};
}

Status Json::ignore_exponent() {
  eat();
  if (peek() == '+' || peek() == '-') eat();
  if (!is_digit(next())) return error_here(kInvalidNumber);
  while (is_digit(peek())) eat();
  return {};
}

// Skips one value. Its arrays and objects count towards the depth limit like
// any others, but the walk keeps an explicit stack of open brackets rather
// than recursing.
Status Json::ignore_value() {
  std::string stack;
  for (;;) {
    int c = parse_whitespace();
    if (c < 0) return peek_error(kEofValue);
    bool opened = false;
    switch (c) {
      case 'n': eat(); VOSTREL_TRY(parse_ident("ull")); break;
      case 't': eat(); VOSTREL_TRY(parse_ident("rue")); break;
      case 'f': eat(); VOSTREL_TRY(parse_ident("alse")); break;
      case '-': eat(); VOSTREL_TRY(ignore_integer()); break;
      case '"': eat(); VOSTREL_TRY(ignore_str()); break;
      case '[':
      case '{':
        if (!descend()) return peek_error(kRecursion);
        stack.push_back(static_cast<char>(c));
        eat();
        opened = true;
        break;
      default:
        if (is_digit(c)) {
          VOSTREL_TRY(ignore_integer());
          break;
        }
        return peek_error(kExpectedValue);
    }
    if (stack.empty()) return {};
    char frame = stack.back();
    bool accept_comma = !opened;
    bool go_on = false;
    while (!go_on) {
      int p = parse_whitespace();
      if (p == ',' && accept_comma) {
        eat();
        break;
      }
      if ((p == ']' && frame == '[') || (p == '}' && frame == '{')) {
        eat();
        ascend();
        stack.pop_back();
        if (stack.empty()) return {};
        frame = stack.back();
        accept_comma = true;
        continue;
      }
      if (p < 0) return peek_error(frame == '[' ? kEofList : kEofObject);
      if (accept_comma) return peek_error(frame == '[' ? kListCommaOrEnd : kObjectCommaOrEnd);
      go_on = true;
    }
    if (frame == '{') {
      int p = parse_whitespace();
      if (p == '"') {
        eat();
      } else if (p < 0) {
        return peek_error(kEofObject);
      } else {
        return peek_error(kKeyMustBeString);
      }
      VOSTREL_TRY(ignore_str());
      p = parse_whitespace();
      if (p == ':') {
        eat();
      } else if (p < 0) {
        return peek_error(kEofObject);
      } else {
        return peek_error(kExpectedColon);
      }
    }
  }
}

// --- the typed requests ----------------------------------------------------

Error Json::peek_invalid_type(const Visitor& v) {
  auto found = describe_next();
  if (!found) return std::move(found.error());
  return fix(invalid_type(*found, v.expecting()).error());
}

// Reads the scalar that comes next (an array or object only by its
// bracket) as an invalid type error shows it; a string found stays valid in
// scratch_ until the next string is read.
Res<Unexpected> Json::describe_next() {
  int c = peek();
  switch (c) {
    case 'n': eat(); VOSTREL_TRY(parse_ident("ull")); return Unexpected::of(Unexpected::Kind::Unit);
    case 't': eat(); VOSTREL_TRY(parse_ident("rue")); return Unexpected::boolean(true);
    case 'f': eat(); VOSTREL_TRY(parse_ident("alse")); return Unexpected::boolean(false);
    case '"': {
      eat();
      scratch_.clear();
      auto s = parse_str();
      VOSTREL_TRY(s);
      return Unexpected::str(*s);
    }
    case '[': return Unexpected::of(Unexpected::Kind::Seq);
    case '{': return Unexpected::of(Unexpected::Kind::Map);
    default: break;
  }
  if (c != '-' && !is_digit(c)) return peek_error(kExpectedValue);
  if (c == '-') eat();
  auto n = parse_integer(c != '-');
  VOSTREL_TRY(n);
  return n->unexpected();
}

Status Json::end_seq() {
  int c = parse_whitespace();
  if (c == ']') {
    eat();
    return {};
  }
  if (c == ',') {
    eat();
    if (parse_whitespace() == ']') return peek_error(kTrailingComma);
    return peek_error(kTrailingCharacters);
  }
  if (c < 0) return peek_error(kEofList);
  return peek_error(kTrailingCharacters);
}

Status Json::end_map() {
  int c = parse_whitespace();
  if (c == '}') {
    eat();
    return {};
  }
  if (c == ',') return peek_error(kTrailingComma);
  if (c < 0) return peek_error(kEofObject);
  return peek_error(kTrailingCharacters);
}

Status Json::visit_seq_here(Visitor& v) {
  if (!descend()) return peek_error(kRecursion);
  eat();
  JsonSeq access(*this);
  Status ret = v.visit_seq(access);
  ascend();
  Status closed = end_seq();
  if (!ret) return ret;
  return closed;
}

Status Json::visit_map_here(Visitor& v) {
  if (!descend()) return peek_error(kRecursion);
  eat();
  JsonMap access(*this);
  Status ret = v.visit_map(access);
  ascend();
  Status closed = end_map();
  if (!ret) return ret;
  return closed;
}

Status Json::any(Visitor& v) {
  int c = parse_whitespace();
  if (c < 0) return peek_error(kEofValue);
  Status value;
  switch (c) {
    case 'n': eat(); VOSTREL_TRY(parse_ident("ull")); value = v.visit_unit(); break;
    case 't': eat(); VOSTREL_TRY(parse_ident("rue")); value = v.visit_bool(true); break;
    case 'f': eat(); VOSTREL_TRY(parse_ident("alse")); value = v.visit_bool(false); break;
    case '-': {
      eat();
      auto n = parse_integer(false);
      VOSTREL_TRY(n);
      value = n->visit(v);
      break;
    }
    case '"': {
      eat();
      scratch_.clear();
      auto s = parse_str();
      VOSTREL_TRY(s);
      value = v.visit_str(*s);
      break;
    }
    case '[': value = visit_seq_here(v); break;
    case '{': value = visit_map_here(v); break;
    default:
      if (is_digit(c)) {
        auto n = parse_integer(true);
        VOSTREL_TRY(n);
        value = n->visit(v);
        break;
      }
      value = peek_error(kExpectedValue);
  }
  return finish(std::move(value));
}

// Every typed request has one shape: blanks, then the next byte decides.
// What `takes` accepts is read by `read`; anything else is refused with an
// invalid type error naming what was found.
template <class Takes, class Read>
Status Json::request(Visitor& v, Takes takes, Read read) {
  int c = parse_whitespace();
  if (c < 0) return peek_error(kEofValue);
  if (!takes(c)) return std::unexpected(peek_invalid_type(v));
  return finish(read(c));
}

Status Json::boolean(Visitor& v) {
  return request(
      v, [](int c) { return c == 't' || c == 'f'; },
      [&](int c) -> Status {
        eat();
        VOSTREL_TRY(parse_ident(c == 't' ? "rue" : "alse"));
        return v.visit_bool(c == 't');
      });
}

Status Json::number(Visitor& v) {
  return request(
      v, [](int c) { return c == '-' || is_digit(c); },
      [&](int c) -> Status {
        if (c == '-') eat();
        auto n = parse_integer(c != '-');
        VOSTREL_TRY(n);
        return n->visit(v);
      });
}

Status Json::string(Visitor& v) {
  return request(
      v, [](int c) { return c == '"'; },
      [&](int) -> Status {
        eat();
        scratch_.clear();
        auto s = parse_str();
        VOSTREL_TRY(s);
        return v.visit_str(*s);
      });
}

Status Json::unit(Visitor& v) {
  return request(
      v, [](int c) { return c == 'n'; },
      [&](int) -> Status {
        eat();
        VOSTREL_TRY(parse_ident("ull"));
        return v.visit_unit();
      });
}

Status Json::seq(Visitor& v) {
  return request(
      v, [](int c) { return c == '['; }, [&](int) { return visit_seq_here(v); });
}

Status Json::map(Visitor& v) {
  return request(
      v, [](int c) { return c == '{'; }, [&](int) { return visit_map_here(v); });
}

Status Json::structure(Visitor& v) {
  return request(
      v, [](int c) { return c == '[' || c == '{'; },
      [&](int c) { return c == '[' ? visit_seq_here(v) : visit_map_here(v); });
}

Status Json::option(Visitor& v) {
  if (parse_whitespace() == 'n') {
    eat();
    VOSTREL_TRY(parse_ident("ull"));
    return v.visit_none();
  }
  return v.visit_some(*this);
}

Status Json::enumeration(Visitor& v) {
  int c = parse_whitespace();
  if (c == '{') {
    if (!descend()) return peek_error(kRecursion);
    eat();
    VariantInObject access(*this);
    VOSTREL_TRY(v.visit_enum(access));
    ascend();
    int p = parse_whitespace();
    if (p == '}') {
      eat();
      return {};
    }
    if (p < 0) return error_here(kEofObject);
    return error_here(kExpectedValue);
  }
  if (c == '"') {
    UnitVariant access(*this);
    return v.visit_enum(access);
  }
  if (c < 0) return peek_error(kEofValue);
  return peek_error(kExpectedValue);
}

Status Json::ignored_any(Visitor& v) {
  VOSTREL_TRY(ignore_value());
  return v.visit_unit();
}

// Type errors of JSON readers name null as "null".
void name_null(Error& e) {
  if (e->null_as_unit) return;
  constexpr std::string_view unit = "invalid type: unit value, ";
  if (e->message.starts_with(unit))
    e->message = "invalid type: null, " + e->message.substr(unit.size());
}

}  // namespace

Status read_json(std::string_view text, Seed read) {
  Json de(text);
  Status st = read(de);
  if (st) st = de.end();
  if (!st) {
    de.locate(st.error());
    name_null(st.error());
  }
  return st;
}

}  // namespace vostrel::codec
