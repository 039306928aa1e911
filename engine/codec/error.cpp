#include "engine/codec/error.h"

#include <charconv>
#include <cmath>
#include <initializer_list>

namespace vostrel::codec {

namespace {

// The pieces joined into one string, sized once and filled by appends. The
// messages are built this way rather than with `"..." + std::string(...)`:
// that form inserts at the front of the temporary, and g++ 12 at -O3 takes
// the inlined insert for a copy that may overlap by 2^63 bytes (-Wrestrict).
std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out.append(p);
  return out;
}

}  // namespace

std::string Error::text() const {
  const Fault& f = *fault_;
  if (!has_position()) return f.message;
  return concat({f.message, " at line ", std::to_string(f.line), " column ",
                 std::to_string(f.column)});
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
    case K::Bool: return concat({"boolean `", x.b ? "true" : "false", "`"});
    case K::Unsigned: return concat({"integer `", std::to_string(x.u), "`"});
    case K::Signed: return concat({"integer `", std::to_string(x.i), "`"});
    case K::Float: return concat({"floating point `", format_float(x.f), "`"});
    case K::Str: return concat({"string ", debug_quote(x.s)});
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
  return error(concat({"invalid type: ", describe(found), ", expected ", expected}));
}

std::unexpected<Error> invalid_value(const Unexpected& found, std::string_view expected) {
  return error(concat({"invalid value: ", describe(found), ", expected ", expected}));
}

std::unexpected<Error> invalid_length(std::size_t len, std::string_view expected) {
  return error(concat({"invalid length ", std::to_string(len), ", expected ", expected}));
}

std::unexpected<Error> missing_field(std::string_view field) {
  return error(concat({"missing field `", field, "`"}));
}

std::unexpected<Error> duplicate_field(std::string_view field) {
  return error(concat({"duplicate field `", field, "`"}));
}

std::unexpected<Error> unknown_variant(std::string_view variant,
                                       std::span<const std::string_view> names) {
  std::string m = concat({"unknown variant `", variant, "`, expected "});
  if (names.empty()) {
    m += "there are no variants";
  } else if (names.size() == 1) {
    m.append("`").append(names[0]).append("`");
  } else if (names.size() == 2) {
    m.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
  } else {
    m += "one of ";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) m += ", ";
      m.append("`").append(names[i]).append("`");
    }
  }
  return error(std::move(m));
}

std::string with_elements(std::string_view what, std::size_t n) {
  return concat({what, " with ", std::to_string(n), n == 1 ? " element" : " elements"});
}

std::string elements_in(std::size_t n, std::string_view container) {
  return concat({std::to_string(n), n == 1 ? " element in " : " elements in ", container});
}

}  // namespace vostrel::codec
