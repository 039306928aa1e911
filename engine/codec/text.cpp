#include "engine/codec/text.h"

#include <algorithm>
#include <array>
#include <bit>
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

namespace {

// Per lead byte: the length of its sequence (0: never a lead, 1: ASCII) and
// the range its second byte must fall in (which excludes overlong forms,
// surrogates and values above U+10FFFF).
struct Lead {
  unsigned char width, lo, hi;
};
constexpr std::array<Lead, 256> kLeads = [] {
  std::array<Lead, 256> t{};
  for (int b = 0; b < 0x80; ++b) t[b] = {1, 0, 0};
  for (int b = 0xC2; b <= 0xDF; ++b) t[b] = {2, 0x80, 0xBF};
  for (int b = 0xE0; b <= 0xEF; ++b) t[b] = {3, 0x80, 0xBF};
  t[0xE0].lo = 0xA0;
  t[0xED].hi = 0x9F;
  for (int b = 0xF0; b <= 0xF4; ++b) t[b] = {4, 0x80, 0xBF};
  t[0xF0].lo = 0x90;
  t[0xF4].hi = 0x8F;
  return t;
}();

// The width of the whole, valid character at `i`, or 0 when there is none;
// then `fault` says where it goes wrong: the byte-exact account that errors
// give (the sequence's start, the length of its invalid part, 0 when the
// input ends inside it).
std::size_t char_at(std::string_view v, std::size_t i, Utf8Fault& fault) {
  const Lead lead = kLeads[static_cast<unsigned char>(v[i])];
  if (lead.width == 0) {
    fault = {i, 1};
    return 0;
  }
  for (std::size_t k = 1; k < lead.width; ++k) {
    if (i + k >= v.size()) {
      fault = {i, 0};
      return 0;
    }
    auto b = static_cast<unsigned char>(v[i + k]);
    if (k == 1 ? b < lead.lo || b > lead.hi : !continuation(b)) {
      fault = {i, k};
      return 0;
    }
  }
  return lead.width;
}

// The ranges of a decoder's code units, by the largest lead byte seen.
char32_t max_char_of(unsigned char max_lead) {
  return max_lead < 0x80 ? 0x7F : max_lead < 0xC4 ? 0xFF : max_lead < 0xF0 ? 0xFFFF : 0x10FFFF;
}

constexpr std::uint64_t kHigh = 0x8080808080808080ull;

std::uint64_t load_word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

// Eight bytes checked at once: what a word of text holds, each flag at the
// top bit of its byte.
struct WordCheck {
  std::uint64_t leads;      // bytes that begin a character of two or more
  std::uint64_t long_leads; // of three or more
  std::uint64_t four_leads; // of four
  std::uint64_t wide2;      // two-byte leads of characters above U+00FF
  bool ok;                  // no byte or pair of bytes that no text holds
};

// `w` holds eight bytes from some offset, `next` the eight bytes one
// further on (so that each byte's successor sits at the same place). The
// bytes that continue a character must be exactly those that the leads
// before them call for; a lead's second byte must fall in its range (which
// rules out overlong forms, surrogates and values above U+10FFFF); bytes
// C0, C1 and F5 to FF never occur.
WordCheck check_word(std::uint64_t w, std::uint64_t next, std::uint64_t expected) {
  auto bit = [w](int k) { return (w << (7 - k)) & kHigh; };  // bit k of each byte, at its top
  const std::uint64_t high = w & kHigh;
  const std::uint64_t cont = high & ~bit(6);
  const std::uint64_t lead = high & bit(6);
  const std::uint64_t l2 = lead & ~bit(5);
  const std::uint64_t l3 = lead & bit(5) & ~bit(4);
  const std::uint64_t l4 = lead & bit(5) & bit(4) & ~bit(3);
  const std::uint64_t l5 = lead & bit(5) & bit(4) & bit(3);
  const std::uint64_t low4 = bit(3) | bit(2) | bit(1) | bit(0);
  const std::uint64_t next5 = (next << 2) & kHigh;
  const std::uint64_t next4 = (next << 3) & kHigh;
  std::uint64_t bad = l5;
  bad |= l2 & ~(bit(4) | bit(3) | bit(2) | bit(1));                           // C0, C1
  bad |= l3 & ~low4 & ~next5;                                                 // E0 80..9F
  bad |= l3 & bit(3) & bit(2) & ~bit(1) & bit(0) & next5;                     // ED A0..BF
  bad |= l4 & ~(bit(2) | bit(1) | bit(0)) & ~(next5 | next4);                 // F0 80..8F
  bad |= l4 & bit(2) & ((bit(1) | bit(0)) | next5 | next4);                   // F4 90.., F5..F7
  const std::uint64_t l34 = l3 | l4;
  expected |= (lead << 8) | (l34 << 16) | (l4 << 24);
  return {lead, l34, l4, l2 & (bit(4) | bit(3) | bit(2)), bad == 0 && expected == cont};
}

// A lead byte of the widest range of characters that a word begins.
unsigned char widest_lead(const WordCheck& c) {
  if (c.four_leads) return 0xF0;
  if (c.long_leads) return 0xE0;
  if (c.wide2) return 0xC4;
  return c.leads ? 0xC2 : 0;
}

// Validates `v`; with a Utf8Shape to fill, also counts what a decoder needs
// to know in advance (the bytes that continue a character, the widest
// character), at no cost to plain validation. Text is taken a word at a
// time while at least nine bytes are left (each byte's successor is looked
// at); the rest, and a word with a fault, go character by character, which
// finds the fault exactly.
template <bool kMeasure>
bool scan_utf8(std::string_view v, Utf8Fault* fault, Utf8Shape* shape) {
  const char* p = v.data();
  const std::size_t len = v.size();
  std::size_t continuations = 0;
  unsigned char max_lead = 0;
  std::size_t i = 0;
  std::size_t boundary = 0;    // where the last character not yet whole begins
  std::uint64_t carried = 0;   // continuations owed to the next word, flagged there
  if constexpr (std::endian::native == std::endian::little) {
    while (len - i >= 9) {
      const std::uint64_t w = load_word(p + i);
      if ((w & kHigh) == 0 && carried == 0) {
        i += 8;
        boundary = i;
        continue;
      }
      const WordCheck c = check_word(w, load_word(p + i + 1), carried);
      if (!c.ok) break;
      if constexpr (kMeasure) {
        const std::uint64_t conts = (w & kHigh) & ~((w << 1) & kHigh);
        continuations += static_cast<std::size_t>(std::popcount(conts));
        max_lead = std::max(max_lead, widest_lead(c));
      }
      carried = (c.leads >> 56) | (c.long_leads >> 48) | (c.four_leads >> 40);
      if (carried == 0) {
        boundary = i + 8;
      } else {
        // The last lead of the word begins the character that runs on.
        boundary = i + 7 - static_cast<std::size_t>(std::countl_zero(c.leads)) / 8;
      }
      i += 8;
    }
    if constexpr (kMeasure) {
      // The character begun before `boundary` and its continuations are
      // counted again below.
      for (std::size_t k = boundary; k < i; ++k)
        continuations -= continuation(static_cast<unsigned char>(p[k]));
    }
    i = boundary;
  }
  // The last bytes, and any fault, go character by character.
  while (i < len) {
    Utf8Fault at{};
    const std::size_t width = char_at(v, i, at);
    if (width == 0) {
      if (fault) *fault = at;
      return false;
    }
    if constexpr (kMeasure) {
      continuations += width - 1;
      max_lead = std::max(max_lead, static_cast<unsigned char>(p[i]));
    }
    i += width;
  }
  if constexpr (kMeasure) *shape = Utf8Shape{len - continuations, max_char_of(max_lead)};
  return true;
}

}  // namespace

bool utf8_valid(std::string_view v, Utf8Fault* fault) {
  return scan_utf8<false>(v, fault, nullptr);
}

bool utf8_measure(std::string_view v, Utf8Shape& shape) {
  return scan_utf8<true>(v, nullptr, &shape);
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
