#include "engine/kernel/value_io.h"

#include <array>
#include <optional>
#include <vector>

#include "engine/codec/content.h"
#include "engine/codec/text.h"

namespace vostrel::codec {
namespace {

using kernel::Kind;
using kernel::Value;

constexpr std::array<std::string_view, 6> kTagNames = {"Str", "Int", "Bool", "List", "Map", "None"};

Status read_tag_id(Deserializer& d, Kind& out) { return read_variant_id<kTagNames>(d, out); }

// The tag of the object form: an enumeration whose variant carries nothing.
class TagAsEnum final : public Visitor {
 public:
  explicit TagAsEnum(Kind& out) : out_(out) {}
  // A MessagePack tag map that is not {name: nil} is refused with this.
  std::string expecting() const override { return "variant identifier"; }
  Status visit_enum(EnumAccess& data) override {
    VOSTREL_TRY(data.variant([&](Deserializer& d) { return read_tag_id(d, out_); }));
    return data.unit_variant();
  }

 private:
  Kind& out_;
};

Status read_tag_enum(Deserializer& d, Kind& out) {
  TagAsEnum v(out);
  return d.enumeration(v);
}

class NonePayload final : public Visitor {
 public:
  std::string expecting() const override { return "unit variant Value::None"; }
  Status visit_unit() override { return {}; }
  Status visit_none() override { return {}; }
};

Status read_payload(Deserializer& d, Kind tag, Value& out) {
  switch (tag) {
    case Kind::Str: {
      std::string s;
      VOSTREL_TRY(read_string(d, s));
      out = Value::str(std::move(s));
      return {};
    }
    case Kind::Int: {
      std::int64_t i = 0;
      VOSTREL_TRY(read_i64(d, i));
      out = Value::integer(i);
      return {};
    }
    case Kind::Bool: {
      bool b = false;
      VOSTREL_TRY(read_bool(d, b));
      out = Value::boolean(b);
      return {};
    }
    case Kind::List: {
      kernel::List items;
      VOSTREL_TRY(Codec<kernel::List>::read(d, items));
      out = Value::list(std::move(items));
      return {};
    }
    case Kind::Map: {
      kernel::Map entries;
      VOSTREL_TRY(Codec<kernel::Map>::read(d, entries));
      out = Value::map(std::move(entries));
      return {};
    }
    case Kind::None: {
      NonePayload v;
      VOSTREL_TRY(d.any(v));
      out = Value::none();
      return {};
    }
  }
  return {};
}

enum class Key { Tag, Content, Other };

class KeyId final : public Visitor {
 public:
  explicit KeyId(Key& out) : out_(out) {}
  std::string expecting() const override {
    return "\"type\", \"value\", or other ignored fields";
  }
  Status visit_str(std::string_view v) override {
    out_ = v == "type" ? Key::Tag : v == "value" ? Key::Content : Key::Other;
    return {};
  }

 private:
  Key& out_;
};

// The next key that is "type" or "value", skipping the others with their
// values; nullopt when the map ends first.
std::expected<std::optional<Key>, Error> next_relevant_key(MapAccess& map) {
  for (;;) {
    Key key = Key::Other;
    auto more = map.next_key([&](Deserializer& d) {
      KeyId v(key);
      return d.identifier(v);
    });
    VOSTREL_TRY(more);
    if (!*more) return std::nullopt;
    if (key != Key::Other) return key;
    VOSTREL_TRY(map.next_value(ignore));
  }
}

class ValueVisitor final : public Visitor {
 public:
  explicit ValueVisitor(Value& out) : out_(out) {}
  std::string expecting() const override { return "adjacently tagged enum Value"; }

  Status visit_map(MapAccess& map) override {
    auto first = next_relevant_key(map);
    VOSTREL_TRY(first);
    if (!*first) return missing_field("type");
    Kind tag = Kind::None;
    if (**first == Key::Tag) {
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return read_tag_enum(d, tag); }));
      auto second = next_relevant_key(map);
      VOSTREL_TRY(second);
      if (!*second) {
        if (tag == Kind::None) {
          out_ = Value::none();
          return {};
        }
        return missing_field("value");
      }
      if (**second == Key::Tag) return duplicate_field("type");
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return read_payload(d, tag, out_); }));
      return finish(map);
    }
    // "value" came first: hold it until the tag is known (a value read from
    // a held tree is already held there).
    Content copy;
    const Content* held = &copy;
    VOSTREL_TRY(map.next_value([&](Deserializer& d) -> Status {
          if (const Content* tree = d.held()) {
            held = tree;
            return {};
          }
          return capture(d, copy);
        }));
    auto second = next_relevant_key(map);
    VOSTREL_TRY(second);
    if (!*second) return missing_field("type");
    if (**second == Key::Content) return duplicate_field("value");
    VOSTREL_TRY(map.next_value([&](Deserializer& d) { return read_tag_enum(d, tag); }));
    ContentDeserializer buffered(*held);
    VOSTREL_TRY(read_payload(buffered, tag, out_));
    return finish(map);
  }

  Status visit_seq(SeqAccess& seq) override {
    Kind tag = Kind::None;
    auto got = seq.next_element([&](Deserializer& d) { return read_tag_id(d, tag); });
    VOSTREL_TRY(got);
    if (!*got) return invalid_length(0, expecting());
    auto payload = seq.next_element([&](Deserializer& d) { return read_payload(d, tag, out_); });
    VOSTREL_TRY(payload);
    if (!*payload) {
      if (tag == Kind::None) {
        out_ = Value::none();
        return {};
      }
      return invalid_length(1, expecting());
    }
    return {};
  }

 private:
  static Status finish(MapAccess& map) {
    auto more = next_relevant_key(map);
    VOSTREL_TRY(more);
    if (!*more) return {};
    return duplicate_field(**more == Key::Tag ? "type" : "value");
  }
  Value& out_;
};

}  // namespace

Status read_value(Deserializer& d, kernel::Value& out) {
  ValueVisitor v(out);
  // Not structure(): a value is no record, so a binary string is not taken
  // for an array of its bytes.
  Status st = d.any(v);
  // Whatever a value's reading found is named the way values name it.
  if (!st) st.error().null_as_unit = true;
  return st;
}

}  // namespace vostrel::codec

namespace vostrel::kernel {

Result<Value> value_from_json(std::string_view text) { return codec::from_json<Value>(text); }
Result<Value> value_from_msgpack(std::string_view bytes) {
  return codec::from_msgpack<Value>(bytes);
}
Result<Env> env_from_json(std::string_view text) { return codec::from_json<Env>(text); }
Result<Env> env_from_msgpack(std::string_view bytes) { return codec::from_msgpack<Env>(bytes); }

// --- writers -----------------------------------------------------------------

std::size_t json_size_hint(const Env& env) {
  // Per value its object and tag ({"type":"Str","value":...}), per entry its
  // quoted key and separators; the walk keeps its own stack, as values may
  // be nested to any depth.
  constexpr std::size_t kPerValue = 28;
  constexpr std::size_t kPerEntry = 4;
  std::size_t size = 2;
  std::vector<const Value*> todo;
  auto entries = [&](const Map& map) {
    for (const auto& [key, item] : map) {
      size += key.size() + kPerEntry;
      todo.push_back(&item);
    }
  };
  entries(env);
  while (!todo.empty()) {
    const Value& v = *todo.back();
    todo.pop_back();
    size += kPerValue;
    if (v.kind() == Kind::Str) {
      size += v.as_str().size();
    } else if (v.kind() == Kind::List) {
      size += v.as_list().size();
      for (const Value& item : v.as_list()) todo.push_back(&item);
    } else if (v.kind() == Kind::Map) {
      entries(v.as_map());
    }
  }
  return size;
}

void write_json_string(std::string_view s, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  const auto* data = reinterpret_cast<const unsigned char*>(s.data());
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  std::uint64_t seen = 0;
  for (;;) {
    // Plain runs are found eight bytes at a time and copied whole.
    std::size_t i = codec::skip_json_plain(data, run, s.size(), seen);
    out.append(s.substr(run, i - run));
    if (i == s.size()) break;
    run = i + 1;
    switch (unsigned char c = data[i]) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default: {
        const char escape[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.push_back('"');
}

namespace {

// One open list or map of a write in progress.
struct Frame {
  const List* list = nullptr;
  std::size_t index = 0;
  const Map* map = nullptr;
  Map::const_iterator it;
  bool tagged = true;  // a Value's payload (closed by "}" after it), not a bare Env
};

void json_scalar_or_open(const Value& v, std::string& out, std::vector<Frame>& stack) {
  out += "{\"type\":\"";
  out += kind_name(v.kind());
  out += '"';
  switch (v.kind()) {
    case Kind::Str:
      out += ",\"value\":";
      write_json_string(v.as_str(), out);
      out += '}';
      return;
    case Kind::Int:
      out += ",\"value\":";
      out += std::to_string(v.as_int());
      out += '}';
      return;
    case Kind::Bool:
      out += v.as_bool() ? ",\"value\":true}" : ",\"value\":false}";
      return;
    case Kind::None:
      out += '}';
      return;
    case Kind::List:
      out += ",\"value\":[";
      stack.push_back(Frame{&v.as_list(), 0, nullptr, {}, true});
      return;
    case Kind::Map:
      out += ",\"value\":{";
      stack.push_back(Frame{nullptr, 0, &v.as_map(), v.as_map().begin(), true});
      return;
  }
}

void json_drain(std::string& out, std::vector<Frame>& stack) {
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.list) {
      if (f.index == f.list->size()) {
        out += "]}";
        stack.pop_back();
        continue;
      }
      if (f.index) out += ',';
      const Value& item = (*f.list)[f.index++];
      json_scalar_or_open(item, out, stack);
    } else {
      if (f.it == f.map->end()) {
        out += f.tagged ? "}}" : "}";
        stack.pop_back();
        continue;
      }
      if (f.it != f.map->begin()) out += ',';
      const auto& [key, item] = *f.it;
      ++f.it;
      write_json_string(key, out);
      out += ':';
      json_scalar_or_open(item, out, stack);
    }
  }
}

void put_u8(std::string& out, unsigned v) { out.push_back(static_cast<char>(v & 0xFF)); }
void put_be(std::string& out, std::uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) put_u8(out, static_cast<unsigned>(v >> (8 * k)));
}

void msgpack_header(std::string& out, std::size_t n, unsigned fix, unsigned b16, unsigned b32) {
  if (n <= 15) {
    put_u8(out, fix | static_cast<unsigned>(n));
  } else if (n <= 0xFFFF) {
    put_u8(out, b16);
    put_be(out, n, 2);
  } else {
    put_u8(out, b32);
    put_be(out, n, 4);
  }
}

void msgpack_int(std::int64_t v, std::string& out) {
  if (v >= 0) {
    auto u = static_cast<std::uint64_t>(v);
    if (u <= 0x7F) {
      put_u8(out, static_cast<unsigned>(u));
    } else if (u <= 0xFF) {
      put_u8(out, 0xcc);
      put_be(out, u, 1);
    } else if (u <= 0xFFFF) {
      put_u8(out, 0xcd);
      put_be(out, u, 2);
    } else if (u <= 0xFFFFFFFFu) {
      put_u8(out, 0xce);
      put_be(out, u, 4);
    } else {
      put_u8(out, 0xcf);
      put_be(out, u, 8);
    }
    return;
  }
  auto u = static_cast<std::uint64_t>(v);
  if (v >= -32) {
    put_u8(out, static_cast<unsigned>(u));
  } else if (v >= -128) {
    put_u8(out, 0xd0);
    put_be(out, u, 1);
  } else if (v >= -32768) {
    put_u8(out, 0xd1);
    put_be(out, u, 2);
  } else if (v >= -2147483648LL) {
    put_u8(out, 0xd2);
    put_be(out, u, 4);
  } else {
    put_u8(out, 0xd3);
    put_be(out, u, 8);
  }
}

void msgpack_scalar_or_open(const Value& v, std::string& out, std::vector<Frame>& stack) {
  put_u8(out, v.kind() == Kind::None ? 0x91 : 0x92);
  write_msgpack_string(kind_name(v.kind()), out);
  switch (v.kind()) {
    case Kind::Str: write_msgpack_string(v.as_str(), out); return;
    case Kind::Int: msgpack_int(v.as_int(), out); return;
    case Kind::Bool: put_u8(out, v.as_bool() ? 0xc3 : 0xc2); return;
    case Kind::None: return;
    case Kind::List:
      msgpack_header(out, v.as_list().size(), 0x90, 0xdc, 0xdd);
      stack.push_back(Frame{&v.as_list(), 0, nullptr, {}, true});
      return;
    case Kind::Map:
      msgpack_header(out, v.as_map().size(), 0x80, 0xde, 0xdf);
      stack.push_back(Frame{nullptr, 0, &v.as_map(), v.as_map().begin(), true});
      return;
  }
}

void msgpack_drain(std::string& out, std::vector<Frame>& stack) {
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.list) {
      if (f.index == f.list->size()) {
        stack.pop_back();
        continue;
      }
      const Value& item = (*f.list)[f.index++];
      msgpack_scalar_or_open(item, out, stack);
    } else {
      if (f.it == f.map->end()) {
        stack.pop_back();
        continue;
      }
      const auto& [key, item] = *f.it;
      ++f.it;
      write_msgpack_string(key, out);
      msgpack_scalar_or_open(item, out, stack);
    }
  }
}

}  // namespace

void write_msgpack_string(std::string_view s, std::string& out) {
  std::size_t n = s.size();
  if (n <= 31) {
    put_u8(out, 0xa0 | static_cast<unsigned>(n));
  } else if (n <= 0xFF) {
    put_u8(out, 0xd9);
    put_be(out, n, 1);
  } else if (n <= 0xFFFF) {
    put_u8(out, 0xda);
    put_be(out, n, 2);
  } else {
    put_u8(out, 0xdb);
    put_be(out, n, 4);
  }
  out.append(s);
}

void write_msgpack_array_header(std::size_t n, std::string& out) {
  msgpack_header(out, n, 0x90, 0xdc, 0xdd);
}

void write_msgpack_uint(std::uint64_t v, std::string& out) {
  if (v <= static_cast<std::uint64_t>(INT64_MAX)) {
    msgpack_int(static_cast<std::int64_t>(v), out);
  } else {
    put_u8(out, 0xcf);
    put_be(out, v, 8);
  }
}

void write_json(const Value& v, std::string& out) {
  std::vector<Frame> stack;
  json_scalar_or_open(v, out, stack);
  json_drain(out, stack);
}

void write_json(const Env& env, std::string& out) {
  out += '{';
  std::vector<Frame> stack{Frame{nullptr, 0, &env, env.begin(), false}};
  json_drain(out, stack);
}

void write_msgpack(const Value& v, std::string& out) {
  std::vector<Frame> stack;
  msgpack_scalar_or_open(v, out, stack);
  msgpack_drain(out, stack);
}

void write_msgpack(const Env& env, std::string& out) {
  msgpack_header(out, env.size(), 0x80, 0xde, 0xdf);
  std::vector<Frame> stack{Frame{nullptr, 0, &env, env.begin(), false}};
  msgpack_drain(out, stack);
}

}  // namespace vostrel::kernel
