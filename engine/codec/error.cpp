#include "engine/codec/error.h"

#include <charconv>
#include <cmath>

namespace vostrel::codec {

std::string Error::text() const {
  const Fault& f = *fault_;
  if (!has_position()) return f.message;
  return f.message + " at line " + std::to_string(f.line) + " column " + std::to_string(f.column);
}

std::string format_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, res.ptr - buf);
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits.push_back(c);
  int exp = std::stoi(std::string(sci.substr(e + 1)));
  int n = static_cast<int>(digits.size());
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  } else if (exp >= n - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exp - (n - 1)), '0');
  } else {
    out += digits.substr(0, static_cast<std::size_t>(exp) + 1);
    out.push_back('.');
    out += digits.substr(static_cast<std::size_t>(exp) + 1);
  }
  return out;
}

std::string describe(const Unexpected& x) {
  using K = Unexpected::Kind;
  switch (x.kind) {
    case K::Bool: return std::string("boolean `") + (x.b ? "true" : "false") + "`";
    case K::Unsigned: return "integer `" + std::to_string(x.u) + "`";
    case K::Signed: return "integer `" + std::to_string(x.i) + "`";
    case K::Float: return "floating point `" + format_float(x.f) + "`";
    case K::Str: return "string " + debug_quote(x.s);
    case K::Bytes: return "byte array";
    case K::Unit: return "unit value";
    case K::Option: return "Option value";
    case K::NewtypeStruct: return "newtype struct";
    case K::Seq: return "sequence";
    case K::Map: return "map";
    case K::Enum: return "enum";
    case K::UnitVariant: return "unit variant";
  }
  return "unknown";
}

std::unexpected<Error> invalid_type(const Unexpected& found, std::string_view expected) {
  return error("invalid type: " + describe(found) + ", expected " + std::string(expected));
}

std::unexpected<Error> invalid_value(const Unexpected& found, std::string_view expected) {
  return error("invalid value: " + describe(found) + ", expected " + std::string(expected));
}

std::unexpected<Error> invalid_length(std::size_t len, std::string_view expected) {
  return error("invalid length " + std::to_string(len) + ", expected " + std::string(expected));
}

std::unexpected<Error> missing_field(std::string_view field) {
  return error("missing field `" + std::string(field) + "`");
}

std::unexpected<Error> duplicate_field(std::string_view field) {
  return error("duplicate field `" + std::string(field) + "`");
}

std::unexpected<Error> unknown_variant(std::string_view variant,
                                       std::span<const std::string_view> names) {
  std::string m = "unknown variant `" + std::string(variant) + "`, expected ";
  if (names.empty()) {
    m += "there are no variants";
  } else if (names.size() == 1) {
    m += "`" + std::string(names[0]) + "`";
  } else if (names.size() == 2) {
    m += "`" + std::string(names[0]) + "` or `" + std::string(names[1]) + "`";
  } else {
    m += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) m += ", ";
      m += "`" + std::string(names[i]) + "`";
    }
  }
  return error(std::move(m));
}

std::string with_elements(std::string_view what, std::size_t n) {
  return std::string(what) + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::string elements_in(std::size_t n, std::string_view container) {
  return std::to_string(n) + (n == 1 ? " element in " : " elements in ") + std::string(container);
}

}  // namespace vostrel::codec
