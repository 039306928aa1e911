#include "engine/kernel/debug_quote.h"

#include <algorithm>
#include <iterator>

namespace vostrel::kernel {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

#include "engine/kernel/unicode_tables.inc"

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at `i`, advancing past it. Overlong forms,
// surrogates, values above U+10FFFF and truncated sequences consume one byte
// and yield the replacement character.
char32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  std::size_t len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, c = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, c = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + len > s.size()) {
    ++i;
    return kReplacement;
  }
  for (std::size_t k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += len;
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buf[8];
  int n = 0;
  do {
    buf[n++] = kDigits[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += buf[--n];
  out += '}';
}

}  // namespace

std::string_view unicode_version() { return kUnicodeVersion; }

bool debug_escapes(char32_t c) {
  auto it = std::upper_bound(std::begin(kEscapedRanges), std::end(kEscapedRanges), c,
                             [](char32_t v, const CodePointRange& r) { return v < r.lo; });
  return it != std::begin(kEscapedRanges) && c <= std::prev(it)->hi;
}

std::string debug_quote(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    char32_t c = decode_utf8(s, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (debug_escapes(c)) {
      append_hex_escape(out, c);
    } else {
      append_utf8(out, c);
    }
  }
  out += '"';
  return out;
}

DebugStruct& DebugStruct::field_raw(std::string_view name, std::string_view debug_text) {
  out_ += has_fields_ ? ", " : " { ";
  has_fields_ = true;
  out_ += name;
  out_ += ": ";
  out_ += debug_text;
  return *this;
}

DebugStruct& DebugStruct::field(std::string_view name, std::string_view text) {
  return field_raw(name, debug_quote(text));
}

DebugStruct& DebugStruct::field(std::string_view name, std::uint64_t number) {
  return field_raw(name, std::to_string(number));
}

std::string DebugStruct::finish() {
  if (has_fields_) out_ += " }";
  return std::move(out_);
}

}  // namespace vostrel::kernel
