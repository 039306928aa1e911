#include "engine/codec/error.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace vostrel::codec {

std::string Error::text() const {
  if (!has_position()) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
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

namespace {

// Decodes one UTF-8 character of valid text.
char32_t decode_at(std::string_view s, std::size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  int n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  char32_t cp = c & (0x7F >> n);
  for (int k = 1; k < n && i + k < s.size(); ++k)
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += n;
  return cp;
}

bool printable(char32_t c) {
  if (c < 0x20 || c == 0x7F) return false;
  if (c >= 0x80 && c < 0xA0) return false;
  switch (c) {
    case 0xAD: case 0x61C: case 0x180E: case 0xFEFF:
      return false;
    default:
      break;
  }
  if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x206F) || (c >= 0xFFF0 && c <= 0xFFFB) ||
      (c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000)
    return false;
  return true;
}

}  // namespace

std::string quote_debug(std::string_view s) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t start = i;
    char32_t c = decode_at(s, i);
    switch (c) {
      case U'\0': out += "\\0"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\\': out += "\\\\"; continue;
      case U'"': out += "\\\""; continue;
      default: break;
    }
    if (printable(c)) {
      out.append(s.substr(start, i - start));
    } else {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
      out += buf;
    }
  }
  out.push_back('"');
  return out;
}

std::string describe(const Unexpected& x) {
  using K = Unexpected::Kind;
  switch (x.kind) {
    case K::Bool: return std::string("boolean `") + (x.b ? "true" : "false") + "`";
    case K::Unsigned: return "integer `" + std::to_string(x.u) + "`";
    case K::Signed: return "integer `" + std::to_string(x.i) + "`";
    case K::Float: return "floating point `" + format_float(x.f) + "`";
    case K::Str: return "string " + quote_debug(x.s);
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

bool utf8_valid(std::string_view v, Utf8Fault* fault) {
  const std::size_t len = v.size();
  std::size_t index = 0;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(v[k]); };
  auto fail = [&](std::size_t start, std::size_t err_len) {
    if (fault) *fault = Utf8Fault{start, err_len};
    return false;
  };
  auto cont = [&](unsigned char b) { return static_cast<signed char>(b) < -64; };
  while (index < len) {
    // Runs of ASCII, the common case, eight bytes at a time.
    while (len - index >= 8) {
      std::uint64_t word;
      std::memcpy(&word, v.data() + index, 8);
      if (word & 0x8080808080808080ull) break;
      index += 8;
    }
    if (index == len) break;
    std::size_t start = index;
    unsigned char first = at(index);
    if (first < 0x80) {
      ++index;
      continue;
    }
    int w = first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
            : first >= 0xF0 && first <= 0xF4 ? 4 : 0;
    if (w == 0) return fail(start, 1);
    if (++index >= len) return fail(start, 0);
    unsigned char second = at(index);
    if (w == 2) {
      if (!cont(second)) return fail(start, 1);
    } else if (w == 3) {
      bool ok = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
                (first >= 0xE1 && first <= 0xEC && cont(second)) ||
                (first == 0xED && second >= 0x80 && second <= 0x9F) ||
                (first >= 0xEE && cont(second));
      if (!ok) return fail(start, 1);
      if (++index >= len) return fail(start, 0);
      if (!cont(at(index))) return fail(start, 2);
    } else {
      bool ok = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
                (first >= 0xF1 && first <= 0xF3 && cont(second)) ||
                (first == 0xF4 && second >= 0x80 && second <= 0x8F);
      if (!ok) return fail(start, 1);
      if (++index >= len) return fail(start, 0);
      if (!cont(at(index))) return fail(start, 2);
      if (++index >= len) return fail(start, 0);
      if (!cont(at(index))) return fail(start, 3);
    }
    ++index;
  }
  return true;
}

std::string utf8_lossy(std::string_view v) {
  std::string out;
  while (!v.empty()) {
    Utf8Fault f{};
    if (utf8_valid(v, &f)) {
      out.append(v);
      break;
    }
    out.append(v.substr(0, f.valid_up_to));
    out += "\xEF\xBF\xBD";
    if (f.error_len == 0) break;
    v.remove_prefix(f.valid_up_to + f.error_len);
  }
  return out;
}

}  // namespace vostrel::codec
