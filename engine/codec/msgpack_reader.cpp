#include "engine/codec/msgpack_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace vostrel::codec {
namespace {

constexpr std::string_view kMarkerEof = "IO error while reading marker: failed to fill whole buffer";
constexpr std::string_view kDataEof = "IO error while reading data: failed to fill whole buffer";
constexpr std::string_view kSliceEof = "IO error while reading data: unexpected end of file";

template <class T>
using Res = std::expected<T, Error>;


std::string marker_name(unsigned char m) {
  auto with = [](const char* name, long n) { return std::string(name) + "(" + std::to_string(n) + ")"; };
  if (m <= 0x7f) return with("FixPos", m);
  if (m >= 0xe0) return with("FixNeg", static_cast<signed char>(m));
  if (m <= 0x8f) return with("FixMap", m & 0x0f);
  if (m <= 0x9f) return with("FixArray", m & 0x0f);
  if (m <= 0xbf) return with("FixStr", m & 0x1f);
  static constexpr const char* names[] = {
      "Null", "Reserved", "False", "True", "Bin8", "Bin16", "Bin32", "Ext8", "Ext16", "Ext32",
      "F32", "F64", "U8", "U16", "U32", "U64", "I8", "I16", "I32", "I64", "FixExt1", "FixExt2",
      "FixExt4", "FixExt8", "FixExt16", "Str8", "Str16", "Str32", "Array16", "Array32", "Map16",
      "Map32"};
  return names[m - 0xc0];
}

std::unexpected<Error> type_mismatch(unsigned char m) {
  return error("wrong msgpack marker " + marker_name(m));
}

class Msgpack final : public Deserializer, public MsgpackCursor {
 public:
  explicit Msgpack(std::string_view bytes) : MsgpackCursor(bytes) {}

  Status any(Visitor& v) override;
  // Every typed request but these is answered with whatever comes next.
  Status boolean(Visitor& v) override { return any(v); }
  Status i64(Visitor& v) override { return any(v); }
  Status u64(Visitor& v) override { return any(v); }
  Status string(Visitor& v) override { return any(v); }
  Status seq(Visitor& v) override { return any(v); }
  Status map(Visitor& v) override { return any(v); }
  Status identifier(Visitor& v) override { return any(v); }
  Status unit(Visitor& v) override { return any(v); }
  Status ignored_any(Visitor& v) override;
  Status structure(Visitor& v) override;
  Status option(Visitor& v) override;
  Status enumeration(Visitor& v) override;
  std::expected<Opened, Error> open(bool seq, bool map) override;
  // Not while a marker is held back: the cursor reads from the input.
  FastCursor fast_cursor() override {
    if (fast_off() || held_) return {};
    return {.msgpack = this};
  }
  Status close(const Opened& opened, std::uint32_t left) override {
    if (left != 0)
      return error("array had incorrect length, expected " + std::to_string(opened.len - left));
    ++depth_;
    return {};
  }

  // Reads a marker from the input, ignoring a marker held back.
  Res<unsigned char> read_marker() {
    if (pos_ >= len_) return error(std::string(kMarkerEof));
    return data_[pos_++];
  }
  template <class T>
  Res<T> read_be() {
    if (len_ - pos_ < sizeof(T)) {
      pos_ = len_;
      return error(std::string(kDataEof));
    }
    T v;
    std::memcpy(&v, data_ + pos_, sizeof(T));
    pos_ += sizeof(T);
    if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) v = std::byteswap(v);
    return v;
  }
  Res<std::string_view> read_slice(std::size_t n) {
    if (len_ - pos_ < n) return error(std::string(kSliceEof));
    std::string_view s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

 private:
  Res<unsigned char> take_or_read_marker() {
    if (held_) {
      unsigned char m = *held_;
      held_.reset();
      return m;
    }
    return read_marker();
  }
  Res<std::uint32_t> length(unsigned char m, unsigned char fix_mask);
  Status read_str_data(std::uint32_t len, Visitor& v);
  [[gnu::noinline]] Status string_item(unsigned char m, Visitor& v);
  [[gnu::noinline]] Status bytes_item(unsigned char m, Visitor& v);
  [[gnu::noinline]] Status array_item(unsigned char m, Visitor& v);
  [[gnu::noinline]] Status map_item(unsigned char m, Visitor& v);
  [[gnu::noinline]] Status number_item(unsigned char m, Visitor& v);
  [[gnu::noinline]] Status ext_item(unsigned char m, Visitor& v);
  template <class T>
  Status visit_number(Visitor& v, int bits, bool is_signed);
  Res<std::uint64_t> skip_item(unsigned char m);

  std::optional<unsigned char> held_;
  friend class MsgpackSeq;
  friend class MsgpackMap;
  friend class VariantInMap;
  friend class ExtElement;
};

class MsgpackSeq final : public SeqAccess {
 public:
  MsgpackSeq(Msgpack& de, std::uint32_t len) : de_(de), left_(len) {}
  std::expected<bool, Error> next_element(Seed seed) override {
    if (left_ == 0) return false;
    --left_;
    VOSTREL_TRY(seed(de_));
    return true;
  }
  // Every element takes a byte at least: a forged count reserves no more
  // than the input could hold.
  std::size_t size_hint() const override {
    return std::min<std::size_t>(left_, de_.len_ - de_.pos_);
  }
  std::uint32_t left() const { return left_; }

 private:
  Msgpack& de_;
  std::uint32_t left_;
};

class MsgpackMap final : public MapAccess {
 public:
  MsgpackMap(Msgpack& de, std::uint32_t len) : de_(de), left_(len) {}
  std::expected<bool, Error> next_key(Seed seed) override {
    if (left_ == 0) return false;
    --left_;
    VOSTREL_TRY(seed(de_));
    return true;
  }
  Status next_value(Seed seed) override { return seed(de_); }
  std::uint32_t left() const { return left_; }

 private:
  Msgpack& de_;
  std::uint32_t left_;
};

// A binary string read where a record is expected: a sequence of its bytes,
// each a small unsigned integer.
class ByteSeq final : public SeqAccess {
 public:
  explicit ByteSeq(std::string_view bytes) : bytes_(bytes) {}
  std::expected<bool, Error> next_element(Seed seed) override {
    if (next_ == bytes_.size()) return false;
    ByteDeserializer d(static_cast<unsigned char>(bytes_[next_++]));
    VOSTREL_TRY(seed(d));
    return true;
  }
  std::size_t left() const { return bytes_.size() - next_; }

 private:
  class ByteDeserializer final : public Deserializer {
   public:
    explicit ByteDeserializer(unsigned char b) : b_(b) {}
    Status any(Visitor& v) override { return v.visit_u64(b_, 8); }
    Status enumeration(Visitor& v) override { return any(v); }
    Status option(Visitor& v) override { return v.visit_some(*this); }

   private:
    unsigned char b_;
  };
  std::string_view bytes_;
  std::size_t next_ = 0;
};

class UnitVariantAccess final : public EnumAccess {
 public:
  explicit UnitVariantAccess(Msgpack& de) : de_(de) {}
  Status variant(Seed seed) override { return seed(de_); }
  Status unit_variant() override { return {}; }

 private:
  Msgpack& de_;
};

// The tag as a one-entry map {name: nil}; a map of another shape is refused
// as a whole, in the words of the enumeration's visitor.
class VariantInMap final : public EnumAccess {
 public:
  VariantInMap(Msgpack& de, const Visitor& v) : de_(de), v_(v) {}
  Status variant(Seed seed) override { return seed(de_); }
  Status unit_variant() override {
    auto m = de_.read_marker();
    VOSTREL_TRY(m);
    if (*m != 0xc0) return invalid_type(Unexpected::of(Unexpected::Kind::Map), v_.expecting());
    return {};
  }

 private:
  Msgpack& de_;
  const Visitor& v_;
};

// An extension value, seen as a sequence of its type (i8) and its data.
class ExtElement final : public Deserializer, public SeqAccess {
 public:
  ExtElement(Msgpack& de, std::uint32_t len) : de_(de), len_(len) {}
  Status any(Visitor& v) override {
    if (state_ == 0) {
      auto tag = de_.read_be<std::uint8_t>();
      VOSTREL_TRY(tag);
      state_ = 1;
      return v.visit_i64(static_cast<std::int8_t>(*tag), 8);
    }
    auto data = de_.read_slice(len_);
    VOSTREL_TRY(data);
    state_ = 2;
    return v.visit_bytes(*data);
  }
  Status option(Visitor& v) override { return any(v); }
  Status enumeration(Visitor& v) override { return any(v); }
  std::expected<bool, Error> next_element(Seed seed) override {
    if (state_ == 2) return false;
    VOSTREL_TRY(seed(*this));
    return true;
  }

 private:
  Msgpack& de_;
  std::uint32_t len_;
  int state_ = 0;
};

class ExtDeserializer final : public Deserializer {
 public:
  explicit ExtDeserializer(ExtElement& el) : el_(el) {}
  Status any(Visitor& v) override { return v.visit_seq(el_); }
  Status option(Visitor& v) override { return any(v); }
  Status enumeration(Visitor& v) override { return any(v); }

 private:
  ExtElement& el_;
};

Res<std::uint32_t> Msgpack::length(unsigned char m, unsigned char fix_mask) {
  switch (m) {
    case 0xc4: case 0xd9: {
      auto n = read_be<std::uint8_t>();
      VOSTREL_TRY(n);
      return *n;
    }
    case 0xc5: case 0xda: case 0xdc: case 0xde: {
      auto n = read_be<std::uint16_t>();
      VOSTREL_TRY(n);
      return *n;
    }
    case 0xc6: case 0xdb: case 0xdd: case 0xdf: {
      auto n = read_be<std::uint32_t>();
      VOSTREL_TRY(n);
      return *n;
    }
    default:
      return m & fix_mask;
  }
}

Status Msgpack::read_str_data(std::uint32_t len, Visitor& v) {
  if (len_ - pos_ < len) return error(std::string(kSliceEof));
  std::string_view buf(reinterpret_cast<const char*>(data_ + pos_), len);
  pos_ += len;
  Utf8Fault fault{};
  if (utf8_valid(buf, &fault)) return v.visit_str(buf);
  if (v.visit_bytes(buf)) return {};
  std::string m = "string found to be invalid utf8: ";
  if (fault.error_len != 0) {
    m += "invalid utf-8 sequence of " + std::to_string(fault.error_len) + " bytes from index " +
         std::to_string(fault.valid_up_to);
  } else {
    m += "incomplete utf-8 byte sequence from index " + std::to_string(fault.valid_up_to);
  }
  return error(std::move(m));
}

// The readers recurse once per nesting level (up to the depth limit), so the
// frame of any() stays small: each kind of item is read in a function of its
// own.
Status Msgpack::any(Visitor& v) {
  // The marker is taken in line: this runs once per item read.
  unsigned char m;
  if (held_) {
    m = *held_;
    held_.reset();
  } else {
    if (pos_ >= len_) return error(std::string(kMarkerEof));
    m = data_[pos_++];
  }
  if (m <= 0x7f) return v.visit_u64(m, 8);
  if (m >= 0xe0) return v.visit_i64(static_cast<signed char>(m), 8);
  if (m >= 0xa0 && m <= 0xbf) {
    // Short strings (tags, keys, most texts) skip the general path when
    // they are plain ASCII.
    std::size_t n = m & 0x1f;
    if (len_ - pos_ >= n) {
      const unsigned char* p = data_ + pos_;
      if (ascii(p, n, len_ - pos_)) {
        pos_ += n;
        return v.visit_str(std::string_view(reinterpret_cast<const char*>(p), n));
      }
    }
    return string_item(m, v);
  }
  if (m >= 0xd9 && m <= 0xdb) return string_item(m, v);
  if (is_array_marker(m)) return array_item(m, v);
  if (is_map_marker(m)) return map_item(m, v);
  switch (m) {
    case 0xc0: return v.visit_unit();
    case 0xc1: return type_mismatch(m);
    case 0xc2: return v.visit_bool(false);
    case 0xc3: return v.visit_bool(true);
    case 0xc4: case 0xc5: case 0xc6: return bytes_item(m, v);
    default: break;
  }
  if (m >= 0xca && m <= 0xd3) return number_item(m, v);
  return ext_item(m, v);
}

Status Msgpack::string_item(unsigned char m, Visitor& v) {
  if (m == 0xd9 && pos_ < len_) return read_str_data(data_[pos_++], v);  // str8, in line
  auto n = length(m, 0x1f);
  VOSTREL_TRY(n);
  return read_str_data(*n, v);
}

Status Msgpack::bytes_item(unsigned char m, Visitor& v) {
  auto n = length(m, 0);
  VOSTREL_TRY(n);
  auto buf = read_slice(*n);
  VOSTREL_TRY(buf);
  return v.visit_bytes(*buf);
}

Status Msgpack::array_item(unsigned char m, Visitor& v) {
  std::uint32_t n = m & 0x0f;
  if (m > 0x9f) {
    auto wide = length(m, 0x0f);
    VOSTREL_TRY(wide);
    n = *wide;
  }
  if (--depth_ == 0) return error("depth limit exceeded");
  MsgpackSeq seq(*this, n);
  VOSTREL_TRY(v.visit_seq(seq));
  if (seq.left() != 0)
    return error("array had incorrect length, expected " + std::to_string(n - seq.left()));
  ++depth_;
  return {};
}

Status Msgpack::map_item(unsigned char m, Visitor& v) {
  std::uint32_t n = m & 0x0f;
  if (m > 0x8f) {
    auto wide = length(m, 0x0f);
    VOSTREL_TRY(wide);
    n = *wide;
  }
  if (--depth_ == 0) return error("depth limit exceeded");
  MsgpackMap map(*this, n);
  VOSTREL_TRY(v.visit_map(map));
  if (map.left() != 0)
    return error("array had incorrect length, expected " + std::to_string(n - map.left()));
  ++depth_;
  return {};
}

template <class T>
Status Msgpack::visit_number(Visitor& v, int bits, bool is_signed) {
  auto x = read_be<T>();
  VOSTREL_TRY(x);
  if (is_signed) return v.visit_i64(static_cast<std::make_signed_t<T>>(*x), bits);
  return v.visit_u64(*x, bits);
}

Status Msgpack::number_item(unsigned char m, Visitor& v) {
  switch (m) {
    case 0xca: {
      auto b = read_be<std::uint32_t>();
      VOSTREL_TRY(b);
      return v.visit_f64(static_cast<double>(std::bit_cast<float>(*b)), 32);
    }
    case 0xcb: {
      auto b = read_be<std::uint64_t>();
      VOSTREL_TRY(b);
      return v.visit_f64(std::bit_cast<double>(*b), 64);
    }
    case 0xcc: return visit_number<std::uint8_t>(v, 8, false);
    case 0xcd: return visit_number<std::uint16_t>(v, 16, false);
    case 0xce: return visit_number<std::uint32_t>(v, 32, false);
    case 0xcf: return visit_number<std::uint64_t>(v, 64, false);
    case 0xd0: return visit_number<std::uint8_t>(v, 8, true);
    case 0xd1: return visit_number<std::uint16_t>(v, 16, true);
    case 0xd2: return visit_number<std::uint32_t>(v, 32, true);
    default: return visit_number<std::uint64_t>(v, 64, true);
  }
}

// Extension values: 0xc7-0xc9 and 0xd4-0xd8.
Status Msgpack::ext_item(unsigned char m, Visitor& v) {
  std::uint32_t len = 0;
  switch (m) {
    case 0xd4: len = 1; break;
    case 0xd5: len = 2; break;
    case 0xd6: len = 4; break;
    case 0xd7: len = 8; break;
    case 0xd8: len = 16; break;
    case 0xc7: case 0xc8: case 0xc9: {
      auto n = m == 0xc7 ? length(0xc4, 0) : m == 0xc8 ? length(0xc5, 0) : length(0xc6, 0);
      VOSTREL_TRY(n);
      len = *n;
      break;
    }
    default: return type_mismatch(m);
  }
  if (--depth_ == 0) return error("depth limit exceeded");
  ExtElement element(*this, len);
  ExtDeserializer ext(element);
  VOSTREL_TRY(v.visit_newtype(ext));
  ++depth_;
  return {};
}

// The same header and depth checks, in the same order, as array_item and
// map_item.
std::expected<Opened, Error> Msgpack::open(bool seq, bool map) {
  auto mk = take_or_read_marker();
  VOSTREL_TRY(mk);
  const unsigned char m = *mk;
  const bool is_seq = is_array_marker(m);
  const bool is_map = is_map_marker(m);
  if (!(seq && is_seq) && !(map && is_map)) {
    held_ = m;
    return Opened{};
  }
  auto n = length(m, 0x0f);
  VOSTREL_TRY(n);
  if (--depth_ == 0) return error("depth limit exceeded");
  return Opened{is_seq ? Opened::Kind::Seq : Opened::Kind::Map, *n,
                std::min<std::size_t>(*n, len_ - pos_)};
}

// Skips the item whose marker is `m`, with the checks and messages of a
// read; returns how many items an array or map opened here holds (its
// level counted), 0 for anything else.
Res<std::uint64_t> Msgpack::skip_item(unsigned char m) {
  const bool array = is_array_marker(m);
  const bool map = is_map_marker(m);
  if (array || map) {
    auto n = length(m, 0x0f);
    VOSTREL_TRY(n);
    if (--depth_ == 0) return error("depth limit exceeded");
    return std::uint64_t{*n} * (map ? 2 : 1);
  }
  if (m <= 0x7f || m >= 0xe0 || m == 0xc0 || m == 0xc2 || m == 0xc3) return 0;
  if (m == 0xc1) return type_mismatch(m);
  if ((m >= 0xa0 && m <= 0xbf) || (m >= 0xd9 && m <= 0xdb) || (m >= 0xc4 && m <= 0xc6)) {
    auto n = length(m, m >= 0xa0 && m <= 0xbf ? 0x1f : 0);
    VOSTREL_TRY(n);
    VOSTREL_TRY(read_slice(*n));
    return 0;
  }
  static constexpr std::uint8_t kNumberBytes[] = {4, 8, 1, 2, 4, 8, 1, 2, 4, 8};  // 0xca..0xd3
  if (m >= 0xca && m <= 0xd3) {
    std::size_t bytes = kNumberBytes[m - 0xca];
    if (len_ - pos_ < bytes) {
      pos_ = len_;
      return error(std::string(kDataEof));
    }
    pos_ += bytes;
    return 0;
  }
  // An extension value: a level of its own around its type and data.
  std::uint32_t len = 0;
  if (m >= 0xd4 && m <= 0xd8) {
    len = 1u << (m - 0xd4);
  } else {
    auto n = length(static_cast<unsigned char>(m - 0xc7 + 0xc4), 0);
    VOSTREL_TRY(n);
    len = *n;
  }
  if (--depth_ == 0) return error("depth limit exceeded");
  VOSTREL_TRY(read_be<std::uint8_t>());
  VOSTREL_TRY(read_slice(len));
  ++depth_;
  return 0;
}

// Skips one item of any depth without recursing: an explicit stack holds
// how many items each open array or map still has to come.
Status Msgpack::ignored_any(Visitor& v) {
  std::vector<std::uint64_t> left;
  do {
    if (!left.empty() && left.back() == 0) {
      left.pop_back();
      ++depth_;
      continue;
    }
    if (!left.empty()) --left.back();
    auto m = take_or_read_marker();
    VOSTREL_TRY(m);
    const bool opens = is_array_marker(*m) || is_map_marker(*m);
    auto items = skip_item(*m);
    VOSTREL_TRY(items);
    if (opens) left.push_back(*items);
  } while (!left.empty());
  return v.visit_unit();
}

Status Msgpack::structure(Visitor& v) {
  auto mk = take_or_read_marker();
  VOSTREL_TRY(mk);
  unsigned char m = *mk;
  if (m < 0xc4 || m > 0xc6) {
    held_ = m;
    return any(v);
  }
  auto n = length(m, 0);
  VOSTREL_TRY(n);
  auto buf = read_slice(*n);
  VOSTREL_TRY(buf);
  ByteSeq seq(*buf);
  VOSTREL_TRY(v.visit_seq(seq));
  if (seq.left() != 0)
    return error("array had incorrect length, expected " + std::to_string(*n - seq.left()));
  return {};
}

Status Msgpack::option(Visitor& v) {
  auto m = take_or_read_marker();
  VOSTREL_TRY(m);
  if (*m == 0xc0) return v.visit_none();
  held_ = *m;
  return v.visit_some(*this);
}

Status Msgpack::enumeration(Visitor& v) {
  if (!held_) {
    auto m = read_marker();
    VOSTREL_TRY(m);
    held_ = *m;
  }
  unsigned char m = *held_;
  if (is_map_marker(m)) {
    // A tag as a map: exactly one entry {name: nil}. The map is one more
    // level open, like any other.
    held_.reset();
    auto n = length(m, 0x0f);
    VOSTREL_TRY(n);
    if (*n != 1) return invalid_type(Unexpected::of(Unexpected::Kind::Map), v.expecting());
    if (--depth_ == 0) return error("depth limit exceeded");
    VariantInMap access(*this, v);
    VOSTREL_TRY(v.visit_enum(access));
    ++depth_;
    return {};
  }
  UnitVariantAccess access(*this);
  return v.visit_enum(access);
}

}  // namespace

Status read_msgpack(std::string_view bytes, Seed read) {
  Msgpack de(bytes);
  return read(de);
}

}  // namespace vostrel::codec
