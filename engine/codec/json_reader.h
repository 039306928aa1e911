// The JSON token source: a streaming reader over one whole UTF-8 text.
//
// Positions. A JSON error ends with " at line L column C": L counts line
// feeds (from 1), C counts the bytes of the current line consumed when the
// error was detected (0 before its first byte; every byte of a multi-byte
// character counts). Syntax errors found while looking at a byte point past
// that byte. A scalar of the wrong type points at its last byte; an array or
// object of the wrong type is reported before its bracket. Errors made by a
// typed reader (missing field, duplicate field, invalid length, faults found
// in buffered content) take their position when they leave the innermost
// container read still running, after that read has skipped blanks and its
// closing bracket (or a following comma, in an array).
//
// Limits: at most 127 arrays and objects open at once ("recursion limit
// exceeded" when the 128th opens), counting those of values skipped as
// unknown fields too. The typed readers recurse once per array or object
// opened; on the stack a level costs about 0.6 KiB when a Value is read
// (1.1 KiB per List level), 0.7 KiB in an expression and nothing in a
// value skipped (an explicit stack), so that a document at the limit reads
// on a thread of 128 KiB with room to spare (about 90 KiB in all). A Value
// in the form the writers write is first tried by a reader of its own
// (engine/kernel/value_fast_read.h, on JsonCursor below), which stops after
// 24 levels and takes about 9 KiB at most.
//
// Numbers: an integer that fits u64 or i64 is an integer ("-0" included);
// a fraction, an exponent or an integer beyond 64 bits makes a float.
//
// JSON null is described as "null" in type errors, except in those of the
// Value reader, which calls it "unit value" (Error::null_as_unit).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/codec/de.h"

namespace vostrel::codec {

// The most arrays and objects a text may have open at once; the writers
// refuse a value whose text would open more (value_io.h).
inline constexpr int kJsonMaxOpen = 127;

// The reader's position in the text and what it scans with: blanks, plain
// strings with their escapes, short integers, words, and the count of
// arrays and objects it may still open. The deserializer of read_json is
// built on it, and a reader of Value trees written the way the writers
// write them (handed it by Deserializer::fast_cursor, once per tree) reads
// straight from it, so that a tree costs no call per token. The fast_*
// reads say false where they do not take what they find, and may then have
// consumed some of it: such a reader goes back to its mark and gives up
// (give_up), after which the deserializer no longer offers the cursor (a
// fault deep in a large value is not met again and again).
class JsonCursor {
 public:
  int peek() const { return index_ < len_ ? data_[index_] : -1; }
  void eat() { ++index_; }
  int next() { return index_ < len_ ? data_[index_++] : -1; }
  int parse_whitespace() {
    for (;;) {
      int c = peek();
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        eat();
      } else {
        return c;
      }
    }
  }
  std::unexpected<Error> error_here(std::string_view msg) const { return at(msg, index_); }
  std::unexpected<Error> peek_error(std::string_view msg) const {
    return at(msg, std::min(len_, index_ + 1));
  }
  // The rest of a string whose opening quote was eaten, unescaped into
  // scratch_ where it has escapes (or scratch_ held text already).
  std::expected<std::string_view, Error> parse_str();
  std::string scratch_;

  // The arrays and objects that may still open, the one that fails included.
  int room() const { return remaining_depth_; }
  std::size_t mark() const { return index_; }
  void give_up(std::size_t mark) {
    index_ = mark;
    fast_off_ = true;
  }
  bool fast_off() const { return fast_off_; }

  // A string after blanks; valid until the next string is read.
  bool fast_str(std::string_view& out) {
    if (parse_whitespace() != '"') return false;
    eat();
    scratch_.clear();
    auto s = parse_str();
    if (!s) return false;
    out = *s;
    return true;
  }
  // `word`, right here.
  bool fast_word(std::string_view word) {
    if (len_ - index_ < word.size() ||
        std::memcmp(data_ + index_, word.data(), word.size()) != 0)
      return false;
    index_ += word.size();
    return true;
  }
  // An integer of at most 18 digits after blanks, without fraction or
  // exponent.
  bool fast_int(std::int64_t& out) {
    int c = parse_whitespace();
    bool negative = c == '-';
    if (negative) eat();
    std::size_t start = index_;
    std::uint64_t n = 0;
    while (index_ < len_ && digit(data_[index_]) && index_ - start < 18)
      n = n * 10 + (data_[index_++] - '0');
    std::size_t digits = index_ - start;
    if (digits == 0 || (digits > 1 && data_[start] == '0')) return false;
    // More digits, a fraction or an exponent: the usual reader decides.
    if (int d = peek(); digit(d) || d == '.' || d == 'e' || d == 'E') return false;
    out = negative ? -static_cast<std::int64_t>(n) : static_cast<std::int64_t>(n);
    return true;
  }

 protected:
  explicit JsonCursor(std::string_view text)
      : data_(reinterpret_cast<const unsigned char*>(text.data())), len_(text.size()) {}
  ~JsonCursor() = default;

  static bool digit(int c) { return c >= '0' && c <= '9'; }
  static std::unexpected<Error> at(std::string_view msg, std::size_t offset) {
    Error e(std::string{msg});
    e->offset = offset;
    return std::unexpected(std::move(e));
  }
  Status parse_escape();
  std::expected<std::uint32_t, Error> decode_hex_escape();

  const unsigned char* data_;
  std::size_t len_;
  std::size_t index_ = 0;
  int remaining_depth_ = kJsonMaxOpen + 1;
  bool fast_off_ = false;
};

// Reads one document that must fill the whole text (blanks around it
// allowed): `read` is handed the deserializer, then anything but blanks
// after the document fails with "trailing characters". The error, if any,
// carries its line and column (when it has a position).
Status read_json(std::string_view text, Seed read);

}  // namespace vostrel::codec
