#include "engine/codec/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace vostrel::codec {
namespace {

struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

#include "engine/codec/unicode_tables.inc"

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

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
    return kReplacementChar;
  }
  if (i + len > s.size()) {
    ++i;
    return kReplacementChar;
  }
  for (std::size_t k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if (!continuation(b)) {
      ++i;
      return kReplacementChar;
    }
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return kReplacementChar;
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

bool utf8_valid(std::string_view v, Utf8Fault* fault) {
  const std::size_t len = v.size();
  std::size_t index = 0;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(v[k]); };
  auto fail = [&](std::size_t start, std::size_t err_len) {
    if (fault) *fault = Utf8Fault{start, err_len};
    return false;
  };
  while (index < len) {
    // Runs of ASCII, the common case, sixteen and then eight bytes at a time.
    while (len - index >= 16) {
      std::uint64_t a, b;
      std::memcpy(&a, v.data() + index, 8);
      std::memcpy(&b, v.data() + index + 8, 8);
      if ((a | b) & 0x8080808080808080ull) break;
      index += 16;
    }
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
      if (!continuation(second)) return fail(start, 1);
    } else if (w == 3) {
      bool ok = (first == 0xE0 && second >= 0xA0 && second <= 0xBF) ||
                (first >= 0xE1 && first <= 0xEC && continuation(second)) ||
                (first == 0xED && second >= 0x80 && second <= 0x9F) ||
                (first >= 0xEE && continuation(second));
      if (!ok) return fail(start, 1);
      if (++index >= len) return fail(start, 0);
      if (!continuation(at(index))) return fail(start, 2);
    } else {
      bool ok = (first == 0xF0 && second >= 0x90 && second <= 0xBF) ||
                (first >= 0xF1 && first <= 0xF3 && continuation(second)) ||
                (first == 0xF4 && second >= 0x80 && second <= 0x8F);
      if (!ok) return fail(start, 1);
      if (++index >= len) return fail(start, 0);
      if (!continuation(at(index))) return fail(start, 2);
      if (++index >= len) return fail(start, 0);
      if (!continuation(at(index))) return fail(start, 3);
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
    append_utf8(out, kReplacementChar);
    if (f.error_len == 0) break;
    v.remove_prefix(f.valid_up_to + f.error_len);
  }
  return out;
}

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

}  // namespace vostrel::codec
