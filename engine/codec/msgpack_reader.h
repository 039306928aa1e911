// The MessagePack token source.
//
// Integers keep their stored width, a string that is not valid UTF-8 is
// handed over as bytes where the reader takes bytes (and otherwise fails with
// "string found to be invalid utf8: ..."), an extension value is a newtype
// holding its type and data. Every array, map and extension value counts
// towards the depth limit: at most 1023 open at once ("depth limit
// exceeded" when the 1024th opens). A level costs no stack where it counts:
// Values, and the parsed trees held for those whose "value" comes before
// "type", are read with stacks of their own on the heap (open(), the Value
// reader in value_io.cpp, capture() and ContentStream in content.h; a frame
// of about 200 bytes a level), a value skipped with a stack of counts; a
// Value in the form the writers write is first tried by a reader that
// recurses (engine/kernel/value_fast_read.h, on MsgpackCursor below), but
// stops after 24 levels (about 7 KiB).
// Records recurse, within the few levels their fields nest. An array or map read by a record or a
// value must be read to its end ("array had incorrect length, expected {}"
// with the number of elements read). A binary string where a record is
// expected is read as the sequence of its bytes. A tag written as a map must
// be one entry {name: nil} (anything else: "invalid type: map, expected
// {the visitor's expecting()}"), and that map counts towards the depth limit.
// Messages carry no position; a nil is described as "unit value".
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "engine/codec/de.h"
#include "engine/codec/text.h"

namespace vostrel::codec {

// The most arrays, maps and extension values open at once; the writers
// refuse a value whose bytes would open more (value_io.h).
inline constexpr int kMsgpackMaxOpen = 1023;

// The markers of an array and of a map, in every width.
constexpr bool is_array_marker(unsigned char m) {
  return (m >= 0x90 && m <= 0x9f) || m == 0xdc || m == 0xdd;
}
constexpr bool is_map_marker(unsigned char m) {
  return (m >= 0x80 && m <= 0x8f) || m == 0xde || m == 0xdf;
}

// The reader's position in the bytes and the count of levels it may still
// open. The deserializer of read_msgpack is built on it, and a reader of
// Value trees written the way the writers write them (handed it by
// Deserializer::fast_cursor, once per tree, and not while a marker is held
// back) reads straight from it with the fast_* reads below, so that a tree
// costs no call per item. Those say false where they do not take what they
// find, and may then have consumed some of it: such a reader goes back to
// its mark and gives up (give_up), after which the deserializer no longer
// offers the cursor.
class MsgpackCursor {
 public:
  // The levels that may still open, the one that fails included.
  std::size_t room() const { return depth_; }
  std::size_t mark() const { return pos_; }
  void give_up(std::size_t mark) {
    pos_ = mark;
    fast_off_ = true;
  }
  bool fast_off() const { return fast_off_; }
  // How many bytes are left.
  std::size_t left() const { return len_ - pos_; }

  bool fast_byte(unsigned char& m) {
    if (pos_ >= len_) return false;
    m = data_[pos_++];
    return true;
  }
  // Steps back over the byte just read.
  void unread() { --pos_; }

  // The length of a string (fix_mask 0x1f), array or map (0x0f) after its
  // marker, which says its width.
  bool fast_len(unsigned char m, unsigned char fix_mask, std::uint32_t& out) {
    int width = 0;
    if (m == 0xd9) width = 1;
    if (m == 0xda || m == 0xdc || m == 0xde) width = 2;
    if (m == 0xdb || m == 0xdd || m == 0xdf) width = 4;
    if (width == 0) {
      out = m & fix_mask;
      return true;
    }
    if (len_ - pos_ < static_cast<std::size_t>(width)) return false;
    out = 0;
    for (int k = 0; k < width; ++k) out = (out << 8) | data_[pos_++];
    return true;
  }
  // A valid UTF-8 string, marker and all; it stays in the input.
  bool fast_str(std::string_view& out) {
    if (pos_ >= len_) return false;
    unsigned char m = data_[pos_++];
    std::uint32_t n = 0;
    if (!((m >= 0xa0 && m <= 0xbf) || (m >= 0xd9 && m <= 0xdb)) || !fast_len(m, 0x1f, n) ||
        len_ - pos_ < n)
      return false;
    const unsigned char* p = data_ + pos_;
    out = std::string_view(reinterpret_cast<const char*>(p), n);
    pos_ += n;
    return ascii(p, n, len_ - (pos_ - n)) || utf8_valid(out);
  }
  // An integer that fits i64, whose marker `m` was read.
  bool fast_int(unsigned char m, std::int64_t& out) {
    if (m <= 0x7f || m >= 0xe0) {
      out = static_cast<signed char>(m);
      return true;
    }
    if (m < 0xcc || m > 0xd3) return false;
    int width = 1 << ((m - 0xcc) & 3);
    if (len_ - pos_ < static_cast<std::size_t>(width)) return false;
    std::uint64_t u = 0;
    for (int k = 0; k < width; ++k) u = (u << 8) | data_[pos_++];
    if (m <= 0xcf) {
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
      out = static_cast<std::int64_t>(u);
      return true;
    }
    // Sign-extends from the stored width.
    int shift = 64 - 8 * width;
    out = static_cast<std::int64_t>(u << shift) >> shift;
    return true;
  }

 protected:
  explicit MsgpackCursor(std::string_view bytes)
      : data_(reinterpret_cast<const unsigned char*>(bytes.data())), len_(bytes.size()) {}
  ~MsgpackCursor() = default;

  // True when none of the `n` bytes at `p` has its high bit set; `room`
  // bytes from `p` on may be read (at least `n`). Short texts (tags, keys)
  // are checked with one masked word where the input leaves room for it.
  static bool ascii(const unsigned char* p, std::size_t n, std::size_t room) {
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    if (n < 8 && room >= 8 && std::endian::native == std::endian::little) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      return (w & kHighs & ((std::uint64_t{1} << (8 * n)) - 1)) == 0;
    }
    std::uint64_t high = 0;
    if (n >= 8) {
      // Whole words, four at a time into separate registers while a long
      // text lasts, the last one overlapping its predecessor.
      std::uint64_t w;
      std::size_t k = 0;
      for (std::uint64_t w4[4]; k + 32 < n; k += 32) {
        std::memcpy(w4, p + k, 32);
        high |= (w4[0] | w4[1]) | (w4[2] | w4[3]);
      }
      for (; k + 8 < n; k += 8) {
        std::memcpy(&w, p + k, 8);
        high |= w;
      }
      std::memcpy(&w, p + n - 8, 8);
      return ((high | w) & kHighs) == 0;
    }
    for (std::size_t k = 0; k < n; ++k) high |= p[k];
    return (high & kHighs) == 0;
  }

  const unsigned char* data_;
  std::size_t len_;
  std::size_t pos_ = 0;
  // Levels still to open. Values open theirs through open() and cost no
  // stack.
  std::size_t depth_ = kMsgpackMaxOpen + 1;
  bool fast_off_ = false;
};

// Reads one document from the start of `bytes`; bytes after it are ignored.
Status read_msgpack(std::string_view bytes, Seed read);

}  // namespace vostrel::codec
