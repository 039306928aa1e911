// UTF-8 text: decoding, encoding and validation, and the debug quoting with
// which messages show a string (found values in reader errors, fields of
// the kernel's error records). Every reader and writer of the system goes
// through these; nothing else decodes UTF-8.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vostrel::codec {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// Decodes the character at `i` and advances past it. An invalid sequence
// (a stray or truncated byte run, an overlong form, a surrogate, a value
// above U+10FFFF) consumes one byte and yields U+FFFD.
char32_t decode_utf8(std::string_view s, std::size_t& i);

// Appends the UTF-8 form of `c` (at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

// Where `bytes` stops being valid UTF-8: the length of its valid prefix,
// and the length of the invalid sequence that follows it (0: the input ends
// inside a sequence).
struct Utf8Fault {
  std::size_t valid_up_to;
  std::size_t error_len;
};
// True when `bytes` is valid UTF-8; otherwise fills `fault`, if given.
bool utf8_valid(std::string_view bytes, Utf8Fault* fault = nullptr);

// The bytes that a JSON string cannot hold as they are: controls, the
// quotation mark and the backslash.
inline bool json_special(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// The offset of the first json_special byte from `i` on, or `len`: eight
// bytes at a time, since readers and writers alike spend most of their time
// in the plain runs between such bytes. Every byte passed over is or-ed into
// `seen`, so that a caller can tell plain ASCII from text it must still
// validate as UTF-8.
inline std::size_t skip_json_plain(const unsigned char* data, std::size_t i, std::size_t len,
                                   std::uint64_t& seen) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  if constexpr (std::endian::native == std::endian::little) {
    while (len - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, data + i, 8);
      // A byte is flagged when it is below 0x20, or equals '"' or '\\'
      // (zero after the xor); bytes of 0x80 and above never are. A borrow
      // only runs upwards from a flagged byte, so the lowest flag is exact:
      // it is the byte the scan stops at.
      std::uint64_t quote = w ^ (kOnes * '"');
      std::uint64_t slash = w ^ (kOnes * '\\');
      std::uint64_t hits = ((w - kOnes * 0x20) | (quote - kOnes) | (slash - kOnes)) & ~w & kHighs;
      if (hits) {
        int skipped = std::countr_zero(hits) / 8;
        seen |= w & ((std::uint64_t{1} << (8 * skipped)) - 1);
        return i + static_cast<std::size_t>(skipped);
      }
      seen |= w;
      i += 8;
    }
  }
  while (i < len && !json_special(data[i])) seen |= data[i++];
  return i;
}

// What a decoder into fixed-width code units needs to know of valid UTF-8
// text: the number of characters, and the top of the narrowest of the
// ranges 0x7F, 0xFF, 0xFFFF and 0x10FFFF that holds every one of them.
struct Utf8Shape {
  std::size_t chars;
  char32_t max_char;
};
// False when `bytes` is not valid UTF-8; otherwise fills `shape`.
bool utf8_measure(std::string_view bytes, Utf8Shape& shape);

// Decodes valid UTF-8 (utf8_measure said so) into code units wide enough for
// its largest character: one per character, at `out`.
template <class Unit>
void utf8_decode_valid(std::string_view bytes, Unit* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        for (int k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[i + k]);
        out += 8;
        i += 8;
        continue;
      }
    }
    const unsigned b = p[i];
    char32_t c;
    if (b < 0x80) {
      c = b;
      i += 1;
    } else if (b < 0xE0) {
      c = ((b & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
      i += 2;
    } else if (b < 0xF0) {
      c = ((b & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      i += 3;
    } else {
      c = ((b & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
          (p[i + 3] & 0x3Fu);
      i += 4;
    }
    *out++ = static_cast<Unit>(c);
  }
}

// `bytes` with each maximal invalid sequence replaced by U+FFFD, as unknown
// names read from binary strings are shown.
std::string utf8_lossy(std::string_view bytes);

// The Unicode character database version behind the debug quoting tables.
std::string_view unicode_version();

// True for the code points that debug quoting writes as \u{...}: those
// Unicode does not class as printable, and grapheme extenders.
bool debug_escapes(char32_t c);

// `s` between double quotes: \" \\ \t \r \n \0 for those characters,
// \u{hex} for the code points debug_escapes names, everything else as is.
// Bytes that are not valid UTF-8 are decoded as decode_utf8 says.
std::string debug_quote(std::string_view s);

}  // namespace vostrel::codec
