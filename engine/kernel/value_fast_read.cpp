#include "engine/kernel/value_fast_read.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "engine/codec/json_reader.h"
#include "engine/codec/msgpack_reader.h"

namespace vostrel::kernel {
namespace {

using codec::JsonCursor;
using codec::MsgpackCursor;

// The readers recurse once per Value level, and no deeper than this many
// values, so that they add little to what the usual reader takes of a small
// thread stack; deeper values are read the usual way.
constexpr int kFastLevels = 24;

// --- JSON --------------------------------------------------------------------

// The JSON reader takes a Value exactly as the writers write it (an object
// with "type" first, its tag a plain string, an integer without fraction or
// exponent, no repeated key) with any blanks. It gives up on anything else:
// the other key order, a tag written as an object, an integer of 19 digits
// or more, a fault. It counts open arrays and objects against the limit
// like the usual reader (`room`, the cursor's count). It recurses once per
// Value level (about 0.35 KiB each, json_list and json_map inlined), so at
// most about 9 KiB in all.
bool json_one(JsonCursor& c, Value& out, int levels, int room);

// `"name":`
bool json_key(JsonCursor& c, std::string_view name) {
  std::string_view key;
  if (!c.fast_str(key) || key != name || c.parse_whitespace() != ':') return false;
  c.eat();
  return true;
}

// `open`, then items read by `item` and separated by commas, then `close`.
template <class Item>
bool json_items(JsonCursor& c, char open, char close, int& room, Item item) {
  if (c.parse_whitespace() != open || --room == 0) return false;
  c.eat();
  if (c.parse_whitespace() == close) {
    c.eat();
    return true;
  }
  for (;;) {
    if (!item()) return false;
    int ch = c.parse_whitespace();
    c.eat();
    if (ch == close) return true;
    if (ch != ',') return false;
  }
}

bool json_list(JsonCursor& c, Value& out, int levels, int room) {
  List items;
  if (!json_items(c, '[', ']', room,
                  [&] { return json_one(c, items.emplace_back(), levels, room); }))
    return false;
  out = Value::list(std::move(items));
  return true;
}

bool json_map(JsonCursor& c, Value& out, int levels, int room) {
  Map entries;
  auto entry = [&] {
    std::string_view key;
    if (!c.fast_str(key) || c.parse_whitespace() != ':') return false;
    c.eat();
    std::size_t before = entries.size();
    auto it = entries.try_emplace(entries.end(), std::string(key));
    return entries.size() != before && json_one(c, it->second, levels, room);
  };
  if (!json_items(c, '{', '}', room, entry)) return false;
  out = Value::map(std::move(entries));
  return true;
}

bool json_one(JsonCursor& c, Value& out, int levels, int room) {
  if (levels == 0 || c.parse_whitespace() != '{' || --room == 0) return false;
  c.eat();
  std::string_view tag;
  if (!json_key(c, "type") || !c.fast_str(tag)) return false;
  // Named now: the tag's text may be in the scratch buffer the next string reuses.
  auto named = std::find(kKindNames.begin(), kKindNames.end(), tag);
  if (named == kKindNames.end()) return false;
  auto kind = static_cast<Kind>(named - kKindNames.begin());
  int ch = c.parse_whitespace();
  c.eat();
  if (ch == '}' && kind == Kind::None) {
    out = Value::none();
    return true;
  }
  if (ch != ',' || !json_key(c, "value")) return false;
  switch (kind) {
    case Kind::Str: {
      std::string_view s;
      if (!c.fast_str(s)) return false;
      out = Value::str(std::string(s));
      break;
    }
    case Kind::Int: {
      std::int64_t i = 0;
      if (!c.fast_int(i)) return false;
      out = Value::integer(i);
      break;
    }
    case Kind::Bool:
      c.parse_whitespace();
      if (c.fast_word("true")) {
        out = Value::boolean(true);
      } else if (c.fast_word("false")) {
        out = Value::boolean(false);
      } else {
        return false;
      }
      break;
    case Kind::List:
      if (!json_list(c, out, levels - 1, room)) return false;
      break;
    case Kind::Map:
      if (!json_map(c, out, levels - 1, room)) return false;
      break;
    case Kind::None:
      return false;
  }
  if (c.parse_whitespace() != '}') return false;
  c.eat();
  return true;
}

// --- MessagePack -------------------------------------------------------------

// The MessagePack reader takes a Value exactly as the writers write it (an
// array of its tag, a plain string, and its payload; None alone; integers
// and strings in any width, no repeated key). It gives up on anything else:
// the map form, a tag given by index, a binary string, a fault. It counts
// open arrays and maps against the limit like the usual reader (`room`, the
// cursor's count). It recurses once per Value level (about 0.3 KiB each,
// msgpack_items inlined), so at most about 7 KiB in all; deeper values are
// read with the stack of its own that the usual Value reader keeps.
bool msgpack_one(MsgpackCursor& c, Value& out, int levels, std::size_t room);

// The elements of a List payload (`list`) or the entries of a Map payload,
// whose marker `m` was read.
bool msgpack_items(MsgpackCursor& c, Value& out, unsigned char m, bool list, int levels,
                   std::size_t room) {
  std::uint32_t n = 0;
  if (!c.fast_len(m, 0x0f, n)) return false;
  if (list) {
    List items;
    // Every element takes a byte at least: a forged count reserves no more
    // than the input could hold.
    items.reserve(std::min<std::size_t>(n, c.left()));
    for (std::uint32_t k = 0; k < n; ++k)
      if (!msgpack_one(c, items.emplace_back(), levels, room)) return false;
    out = Value::list(std::move(items));
    return true;
  }
  Map entries;
  for (std::uint32_t k = 0; k < n; ++k) {
    std::string_view key;
    if (!c.fast_str(key)) return false;
    std::size_t before = entries.size();
    auto it = entries.try_emplace(entries.end(), std::string(key));
    if (entries.size() == before || !msgpack_one(c, it->second, levels, room)) return false;
  }
  out = Value::map(std::move(entries));
  return true;
}

bool msgpack_one(MsgpackCursor& c, Value& out, int levels, std::size_t room) {
  unsigned char head = 0;
  if (levels == 0 || !c.fast_byte(head)) return false;
  if ((head != 0x91 && head != 0x92) || --room == 0) return false;
  std::string_view tag;
  if (!c.fast_str(tag)) return false;
  if (head == 0x91) {
    if (tag != "None") return false;
    out = Value::none();
    return true;
  }
  unsigned char m = 0;
  if (!c.fast_byte(m)) return false;
  if (tag == "Str") {
    c.unread();
    std::string_view s;
    if (!c.fast_str(s)) return false;
    out = Value::str(std::string(s));
  } else if (tag == "Int") {
    std::int64_t i = 0;
    if (!c.fast_int(m, i)) return false;
    out = Value::integer(i);
  } else if (tag == "Bool") {
    if (m != 0xc2 && m != 0xc3) return false;
    out = Value::boolean(m == 0xc3);
  } else if (tag == "List" || tag == "Map") {
    bool list = tag == "List";
    bool fits = list ? codec::is_array_marker(m) : codec::is_map_marker(m);
    if (!fits || --room == 0) return false;
    return msgpack_items(c, out, m, list, levels - 1, room);
  } else {
    return false;
  }
  return true;
}

// --- both --------------------------------------------------------------------

bool one(JsonCursor& c, Value& out) { return json_one(c, out, kFastLevels, c.room()); }
bool one(MsgpackCursor& c, Value& out) { return msgpack_one(c, out, kFastLevels, c.room()); }

template <class Cursor>
bool read_tree(Cursor& c, Value& out) {
  auto start = c.mark();
  if (one(c, out)) return true;
  c.give_up(start);
  return false;
}

}  // namespace

bool read_value_fast(codec::Deserializer& d, Value& out) {
  codec::FastCursor cursor = d.fast_cursor();
  if (cursor.json) return read_tree(*cursor.json, out);
  if (cursor.msgpack) return read_tree(*cursor.msgpack, out);
  return false;
}

}  // namespace vostrel::kernel
