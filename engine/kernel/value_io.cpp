#include "engine/kernel/value_io.h"

#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "engine/codec/content.h"
#include "engine/codec/text.h"
#include "engine/kernel/value_fast_read.h"

namespace vostrel::codec {
namespace {

using kernel::Kind;
using kernel::Value;

Status read_tag_id(Deserializer& d, Kind& out) {
  return read_variant_id<kernel::kKindNames>(d, out);
}

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

class DeepReader;

// Reads one value in either form. With a DeepReader, a List or Map payload
// that can be opened in place is left to that reader's loop (deferred()),
// which then finishes the value; otherwise the payload is read here, one
// recursion per level.
class ValueVisitor final : public Visitor {
 public:
  explicit ValueVisitor(Value& out, DeepReader* deep = nullptr) : out_(out), deep_(deep) {}
  std::string expecting() const override { return "adjacently tagged enum Value"; }
  bool deferred() const { return deferred_; }

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
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return payload(d, tag); }));
      if (deferred_) return {};
      return finish(map);
    }
    return read_held(map);
  }
  Status visit_seq(SeqAccess& seq) override {
    Kind tag = Kind::None;
    auto got = seq.next_element([&](Deserializer& d) { return read_tag_id(d, tag); });
    VOSTREL_TRY(got);
    if (!*got) return invalid_length(0, expecting());
    auto read = seq.next_element([&](Deserializer& d) { return payload(d, tag); });
    VOSTREL_TRY(read);
    if (!*read) {
      if (tag == Kind::None) {
        out_ = Value::none();
        return {};
      }
      return invalid_length(1, expecting());
    }
    return {};
  }

 // The rest of an object form once its payload is read: no second "type"
  // or "value".
  static Status finish(MapAccess& map) {
    auto more = next_relevant_key(map);
    VOSTREL_TRY(more);
    if (!*more) return {};
    return duplicate_field(**more == Key::Tag ? "type" : "value");
  }

 private:
  Status payload(Deserializer& d, Kind tag) {
    if (deep_ && (tag == Kind::List || tag == Kind::Map)) return payload_deep(d, tag);
    return read_payload(d, tag, out_);
  }
  [[gnu::noinline]] Status payload_deep(Deserializer& d, Kind tag);
  [[gnu::noinline]] Status read_held(MapAccess& map);

  Value& out_;
  DeepReader* deep_;
  bool deferred_ = false;
};

// Not structure(): a value is no record, so a binary string is not taken
// for an array of its bytes.
Status read_visiting(Deserializer& d, Value& out) {
  ValueVisitor v(out);
  return d.any(v);
}

// An array or map opened in place, read through the counter its frame
// keeps: the elements of an array, or the keys of a map (each followed by
// its value).
class Counted final : public SeqAccess, public MapAccess {
 public:
  Counted(Deserializer& d, std::uint32_t& left) : d_(d), left_(left) {}
  std::expected<bool, Error> next_element(Seed seed) override { return next(seed); }
  std::expected<bool, Error> next_key(Seed seed) override { return next(seed); }
  Status next_value(Seed seed) override { return seed(d_); }

 private:
  std::expected<bool, Error> next(Seed seed) {
    if (left_ == 0) return false;
    --left_;
    VOSTREL_TRY(seed(d_));
    return true;
  }
  Deserializer& d_;
  std::uint32_t& left_;
};

// Reads a value whose lists and maps nest as deep as the format takes
// (MessagePack: 1023 arrays and maps) without recursing: each open value,
// List payload and Map payload is a frame of its own on the heap, and the
// thread's stack holds the reading of one level at a time. A value's head
// (its tag, the keys of its object form, a scalar payload) is read by the
// same ValueVisitor as everywhere else. A payload held as a parsed tree (its
// "value" came before "type") is read the same way from a ContentStream
// over that tree, which its value's frame owns. Formats that cannot open an
// array or map in place (JSON, whose 127 levels recursion takes) are read
// by visiting.
class DeepReader {
 public:
  Status read(Deserializer& d, Value& out, const Opened& opened) {
    VOSTREL_TRY(start(d, out, opened));
    while (top_ != 0) VOSTREL_TRY(step());
    return {};
  }

  // Opens the List or Map payload of the value on top, to be read by the
  // loop; false when the payload is no array or map (read as usual then).
  std::expected<bool, Error> defer_payload(Kind tag, Value& out) {
    return defer(*frames_[top_ - 1]->src, tag, out);
  }

  // The same for a payload held as a tree: read from a stream over it.
  std::expected<bool, Error> defer_held_payload(Kind tag, const Content& held, Value& out) {
    Frame& v = *frames_[top_ - 1];
    v.stream = std::make_unique<ContentStream>(held);
    return defer(*v.stream, tag, out);
  }

  // Where the value on top holds the tree of a payload it captures.
  Content& held_slot() {
    Frame& v = *frames_[top_ - 1];
    v.held = std::make_unique<Content>();
    return *v.held;
  }

 private:
  enum class Role : std::uint8_t { Value, List, Map };
  struct Frame {
    Role role = Role::Value;
    bool deferred = false;  // a value whose payload the loop reads
    Opened opened;          // its array or map
    std::uint32_t left = 0;
    Deserializer* src = nullptr;  // where its elements come from
    Value* out = nullptr;
    kernel::List items;
    kernel::Map entries;
    std::string key;
    std::unique_ptr<Content> held;  // a value's payload, held
    std::unique_ptr<ContentStream> stream;  // ... and read from there
  };

  std::expected<bool, Error> defer(Deserializer& src, Kind tag, Value& out) {
    auto opened = src.open(tag == Kind::List, tag == Kind::Map);
    VOSTREL_TRY(opened);
    if (opened->kind == Opened::Kind::None) return false;
    frames_[top_ - 1]->deferred = true;
    Frame& f = push(tag == Kind::List ? Role::List : Role::Map, src, out, *opened);
    if (f.role == Role::List) f.items.reserve(opened->hint);
    return true;
  }

  // Frames stay where they are (the accesses point into them) and are kept
  // for reuse by the next value at the same level.
  Frame& push(Role role, Deserializer& src, Value& out, const Opened& opened) {
    if (top_ == frames_.size()) frames_.push_back(std::make_unique<Frame>());
    Frame& f = *frames_[top_++];
    f.role = role;
    f.deferred = false;
    f.opened = opened;
    f.left = opened.len;
    f.src = &src;
    f.out = &out;
    f.items.clear();
    f.entries.clear();
    return f;
  }

  // Nothing may be left in the array or map on top (the format's own check).
  Status close_top() {
    Frame& f = *frames_[top_ - 1];
    VOSTREL_TRY(f.src->close(f.opened, f.left));
    f.stream.reset();
    f.held.reset();
    --top_;
    return {};
  }

  // A value whose own array or map is open: its head, and its payload too
  // unless that is deferred.
  Status start(Deserializer& src, Value& out, const Opened& opened) {
    Frame& f = push(Role::Value, src, out, opened);
    ValueVisitor v(out, this);
    Counted access(src, f.left);
    if (opened.kind == Opened::Kind::Map) return v.visit_map(access);
    return v.visit_seq(access);
  }

  // An element of a List or Map payload.
  Status begin(Deserializer& src, Value& out) {
    auto opened = src.open(true, true);
    VOSTREL_TRY(opened);
    if (opened->kind == Opened::Kind::None) return read_visiting(src, out);
    return start(src, out, *opened);
  }

  // The value on top has its payload: the rest of its object form.
  Status end_value(Frame& f) {
    if (f.opened.kind == Opened::Kind::Map && f.deferred) {
      Counted map(*f.src, f.left);
      VOSTREL_TRY(ValueVisitor::finish(map));
    }
    return close_top();
  }

  Status step() {
    Frame& f = *frames_[top_ - 1];
    switch (f.role) {
      case Role::Value:
        return end_value(f);
      case Role::List:
        if (f.left == 0) {
          *f.out = Value::list(std::move(f.items));
          return close_top();
        }
        --f.left;
        return begin(*f.src, f.items.emplace_back());
      case Role::Map: {
        if (f.left == 0) {
          *f.out = Value::map(std::move(f.entries));
          return close_top();
        }
        --f.left;
        f.key.clear();
        VOSTREL_TRY(read_string(*f.src, f.key));
        // A repeated key keeps its place and takes the later value.
        auto it = f.entries.try_emplace(f.entries.end(), std::move(f.key));
        return begin(*f.src, it->second);
      }
    }
    return {};
  }

  std::vector<std::unique_ptr<Frame>> frames_;
  std::size_t top_ = 0;
};

// "value" came first: hold it until the tag is known (a value read from a
// held tree is already held there). Out of line, so that the held tree is
// not on the frame of every level read through visit_map.
Status ValueVisitor::read_held(MapAccess& map) {
  Kind tag = Kind::None;
  Content copy;
  Content& keep = deep_ ? deep_->held_slot() : copy;
  const Content* held = &keep;
  VOSTREL_TRY(map.next_value([&](Deserializer& d) -> Status {
        if (const Content* tree = d.held()) {
          held = tree;
          return ignore(d);  // taken as it is held
        }
        return capture(d, keep);
      }));
  auto second = next_relevant_key(map);
  VOSTREL_TRY(second);
  if (!*second) return missing_field("type");
  if (**second == Key::Content) return duplicate_field("value");
  VOSTREL_TRY(map.next_value([&](Deserializer& d) { return read_tag_enum(d, tag); }));
  if (deep_ && (tag == Kind::List || tag == Kind::Map)) {
    auto deferred = deep_->defer_held_payload(tag, *held, out_);
    VOSTREL_TRY(deferred);
    if (*deferred) {
      deferred_ = true;
      return {};
    }
  }
  ContentDeserializer buffered(*held);
  VOSTREL_TRY(read_payload(buffered, tag, out_));
  return finish(map);
}

// Out of line, so that payload() stays small enough to be inlined into the
// visits that recurse through it.
Status ValueVisitor::payload_deep(Deserializer& d, Kind tag) {
  auto deferred = deep_->defer_payload(tag, out_);
  VOSTREL_TRY(deferred);
  if (!*deferred) return read_payload(d, tag, out_);
  deferred_ = true;
  return {};
}

// Out of line: JSON reaches read_value once per level it recurses, and the
// reader's frames would otherwise sit on each of those levels.
[[gnu::noinline]] Status read_deep(Deserializer& d, kernel::Value& out, const Opened& opened) {
  return DeepReader().read(d, out, opened);
}

}  // namespace

// A format that opens arrays and maps in place is read with a stack of its
// own; the others by visiting, one recursion per level.
Status read_value(Deserializer& d, kernel::Value& out) {
  if (kernel::read_value_fast(d, out)) return {};
  auto opened = d.open(true, true);
  Status st;
  if (!opened) {
    st = std::unexpected(std::move(opened.error()));
  } else if (opened->kind == Opened::Kind::None) {
    st = read_visiting(d, out);
  } else {
    st = read_deep(d, out, *opened);
  }
  // Whatever a value's reading found is named the way values name it.
  if (!st) st.error()->null_as_unit = true;
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

namespace {

// The bytes of a MessagePack header for a string, an array or a map of n
// elements, and of an integer, in the shortest encodings the writer uses.
constexpr std::size_t msgpack_str_header_size(std::size_t n) {
  return n <= 31 ? 1 : n <= 0xFF ? 2 : n <= 0xFFFF ? 3 : 5;
}
constexpr std::size_t msgpack_count_header_size(std::size_t n) {
  return n <= 15 ? 1 : n <= 0xFFFF ? 3 : 5;
}
constexpr std::size_t msgpack_int_size(std::int64_t v) {
  if (v >= 0) return v <= 0x7F ? 1 : v <= 0xFF ? 2 : v <= 0xFFFF ? 3 : v <= 0xFFFFFFFFLL ? 5 : 9;
  return v >= -32 ? 1 : v >= -128 ? 2 : v >= -32768 ? 3 : v >= -2147483648LL ? 5 : 9;
}

}  // namespace

WrittenSize written_size(const Env& env) {
  // JSON: per value its object and tag ({"type":"Str","value":...}), per
  // entry its quoted key and separators. MessagePack: per value its array
  // header and tag string, then the payload's own bytes. The walk keeps its
  // own stack, as values may be nested to any depth.
  constexpr std::size_t kJsonPerValue = 28;
  constexpr std::size_t kJsonPerEntry = 4;
  WrittenSize size{2, msgpack_count_header_size(env.size())};
  std::vector<const Value*> todo;
  auto entries = [&](const Map& map) {
    for (const auto& [key, item] : map) {
      size.json += key.size() + kJsonPerEntry;
      size.msgpack += msgpack_str_header_size(key.size()) + key.size();
      todo.push_back(&item);
    }
  };
  entries(env);
  while (!todo.empty()) {
    const Value& v = *todo.back();
    todo.pop_back();
    size.json += kJsonPerValue;
    size.msgpack += 2 + kind_name(v.kind()).size();
    switch (v.kind()) {
      case Kind::Str:
        size.json += v.as_str().size();
        size.msgpack += msgpack_str_header_size(v.as_str().size()) + v.as_str().size();
        break;
      case Kind::Int: size.msgpack += msgpack_int_size(v.as_int()); break;
      case Kind::Bool: size.msgpack += 1; break;
      case Kind::None: break;
      case Kind::List:
        size.json += v.as_list().size();
        size.msgpack += msgpack_count_header_size(v.as_list().size());
        for (const Value& item : v.as_list()) todo.push_back(&item);
        break;
      case Kind::Map:
        size.msgpack += msgpack_count_header_size(v.as_map().size());
        entries(v.as_map());
        break;
    }
  }
  return size;
}

namespace {

template <class Out>
void put_json_string(std::string_view s, Out& out) {
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

}  // namespace

void write_json_string(std::string_view s, std::string& out) { put_json_string(s, out); }
void write_json_string(std::string_view s, TextBuffer& out) { put_json_string(s, out); }

namespace {

// Up to a few headers put together, then appended at once.
class Header {
 public:
  void u8(unsigned v) { bytes_[size_++] = static_cast<char>(v & 0xFF); }
  void be(std::uint64_t v, int bytes) {
    for (int k = bytes - 1; k >= 0; --k) u8(static_cast<unsigned>(v >> (8 * k)));
  }
  void text(std::string_view s) {
    std::memcpy(bytes_ + size_, s.data(), s.size());
    size_ += s.size();
  }
  // Each header in the width the size functions above give it, so that the
  // size walk and the writers agree by construction.
  // An array or map header (fix: its one-byte form; b16, b32: its markers).
  void count(std::size_t n, unsigned fix, unsigned b16, unsigned b32) {
    switch (msgpack_count_header_size(n)) {
      case 1: u8(fix | static_cast<unsigned>(n)); return;
      case 3: u8(b16); be(n, 2); return;
      default: u8(b32); be(n, 4); return;
    }
  }
  void array(std::size_t n) { count(n, 0x90, 0xdc, 0xdd); }
  void map(std::size_t n) { count(n, 0x80, 0xde, 0xdf); }
  void str(std::size_t n) {
    const std::size_t size = msgpack_str_header_size(n);
    if (size == 1) {
      u8(0xa0 | static_cast<unsigned>(n));
      return;
    }
    // 0xd9, 0xda, 0xdb: the length in 1, 2 or 4 bytes.
    u8(0xd9 + static_cast<unsigned>(std::countr_zero(size - 1)));
    be(n, static_cast<int>(size - 1));
  }
  void integer(std::int64_t v) {
    const std::size_t size = msgpack_int_size(v);
    const auto u = static_cast<std::uint64_t>(v);
    if (size == 1) {  // a positive or negative fixint
      u8(static_cast<unsigned>(u));
      return;
    }
    // 0xcc..0xcf unsigned, 0xd0..0xd3 signed: 1, 2, 4 or 8 bytes.
    u8((v >= 0 ? 0xcc : 0xd0) + static_cast<unsigned>(std::countr_zero(size - 1)));
    be(u, static_cast<int>(size - 1));
  }
  template <class Out>
  void put(Out& out) const {
    out.append(bytes_, size_);
  }

 private:
  char bytes_[24];
  std::size_t size_ = 0;
};

template <class Out>
void put_msgpack_string(std::string_view s, Out& out) {
  Header h;
  h.str(s.size());
  h.put(out);
  out.append(s.data(), s.size());
}

template <class Out>
void put_array_header(std::size_t n, Out& out) {
  Header h;
  h.array(n);
  h.put(out);
}

template <class Out>
void put_uint(std::uint64_t v, Out& out) {
  Header h;
  if (v <= static_cast<std::uint64_t>(INT64_MAX)) {
    h.integer(static_cast<std::int64_t>(v));
  } else {
    h.u8(0xcf);
    h.be(v, 8);
  }
  h.put(out);
}

// What each form writes around the values of a tree; the walk below visits
// them. head() writes a scalar value whole and a List or Map up to its first
// element; close() ends a list or map (`tagged`: a Value's payload, not a
// bare Env).
struct JsonForm {
  static constexpr int kMaxOpen = codec::kJsonMaxOpen;
  static constexpr std::string_view kTooDeep = kJsonTooDeep;
  template <class Out>
  static void env(const Env&, Out& out) {
    out += '{';
  }
  template <class Out>
  static void head(const Value& v, Out& out) {
    out += "{\"type\":\"";
    out += kind_name(v.kind());
    out += '"';
    switch (v.kind()) {
      case Kind::Str:
        out += ",\"value\":";
        put_json_string(v.as_str(), out);
        out += '}';
        return;
      case Kind::Int:
        out += ",\"value\":";
        out += std::to_string(v.as_int());
        out += '}';
        return;
      case Kind::Bool: out += v.as_bool() ? ",\"value\":true}" : ",\"value\":false}"; return;
      case Kind::None: out += '}'; return;
      case Kind::List: out += ",\"value\":["; return;
      case Kind::Map: out += ",\"value\":{"; return;
    }
  }
  template <class Out>
  static void element(bool first, Out& out) {
    if (!first) out += ',';
  }
  template <class Out>
  static void key(std::string_view key, bool first, Out& out) {
    if (!first) out += ',';
    put_json_string(key, out);
    out += ':';
  }
  template <class Out>
  static void close(bool list, bool tagged, Out& out) {
    out += list ? "]}" : tagged ? "}}" : "}";
  }
};

struct MsgpackForm {
  static constexpr int kMaxOpen = codec::kMsgpackMaxOpen;
  static constexpr std::string_view kTooDeep = kMsgpackTooDeep;
  template <class Out>
  static void env(const Env& env, Out& out) {
    Header h;
    h.map(env.size());
    h.put(out);
  }
  // A value's array header and tag, then its payload (a Str's header; a
  // List's or Map's up to its first element) in one append.
  template <class Out>
  static void head(const Value& v, Out& out) {
    Header h;
    h.u8(v.kind() == Kind::None ? 0x91 : 0x92);
    h.str(kind_name(v.kind()).size());
    h.text(kind_name(v.kind()));
    switch (v.kind()) {
      case Kind::Str:
        h.str(v.as_str().size());
        h.put(out);
        out.append(v.as_str().data(), v.as_str().size());
        return;
      case Kind::Int: h.integer(v.as_int()); break;
      case Kind::Bool: h.u8(v.as_bool() ? 0xc3 : 0xc2); break;
      case Kind::None: break;
      case Kind::List: h.array(v.as_list().size()); break;
      case Kind::Map: h.map(v.as_map().size()); break;
    }
    h.put(out);
  }
  template <class Out>
  static void element(bool, Out&) {}
  template <class Out>
  static void key(std::string_view key, bool, Out& out) {
    put_msgpack_string(key, out);
  }
  template <class Out>
  static void close(bool, bool, Out&) {}
};

// Writes a Value or an Env in one pass without recursing, and counts the
// arrays and objects (maps) the document has open as the reader will: a
// List or Map value opens two (its own and its payload's), every other value
// one, an Env one. A value that would open more than the reader takes is
// refused before its first byte, and `out` is cut back to where it was.
template <class Form, class Out = std::string>
class Walk {
 public:
  Walk(Out& out, std::size_t open, std::size_t max_open = Form::kMaxOpen)
      : out_(out), start_(out.size()), open_(open), max_open_(max_open) {}

  Result<void> value(const Value& v) { return enter(v) ? drain() : refuse(); }

  Result<void> env(const Env& env) {
    if (open_ + 1 > max_open_) return refuse();
    Form::env(env, out_);
    push(Frame{nullptr, 0, &env, env.begin(), false});
    return drain();
  }

 private:
  // One open list or map.
  struct Frame {
    const List* list = nullptr;
    std::size_t index = 0;
    const Map* map = nullptr;
    Map::const_iterator it;
    bool tagged = true;  // a Value's payload: its own array or object is open too
  };

  static std::size_t levels(const Frame& f) { return f.tagged ? 2 : 1; }

  void push(const Frame& f) {
    open_ += levels(f);
    stack_.push_back(f);
  }

  // Writes the head of `v` and opens its list or map; false when that would
  // pass the limit.
  bool enter(const Value& v) {
    bool nests = v.kind() == Kind::List || v.kind() == Kind::Map;
    if (open_ + (nests ? 2 : 1) > max_open_) return false;
    Form::head(v, out_);
    if (v.kind() == Kind::List) push(Frame{&v.as_list(), 0, nullptr, {}, true});
    if (v.kind() == Kind::Map) push(Frame{nullptr, 0, &v.as_map(), v.as_map().begin(), true});
    return true;
  }

  Result<void> drain() {
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (const Value* item = next(f)) {
        if (!enter(*item)) return refuse();
        continue;
      }
      Form::close(f.list != nullptr, f.tagged, out_);
      open_ -= levels(f);
      stack_.pop_back();
    }
    return {};
  }

  // The next element of `f`, with what goes before it written; null at the end.
  const Value* next(Frame& f) {
    if (f.list) {
      if (f.index == f.list->size()) return nullptr;
      Form::element(f.index == 0, out_);
      return &(*f.list)[f.index++];
    }
    if (f.it == f.map->end()) return nullptr;
    Form::key(f.it->first, f.it == f.map->begin(), out_);
    return &(f.it++)->second;
  }

  [[gnu::cold, gnu::noinline]] Result<void> refuse() {
    out_.resize(start_);
    return fail(std::string(Form::kTooDeep));
  }

  Out& out_;
  std::size_t start_;
  std::size_t open_;
  std::size_t max_open_;
  std::vector<Frame> stack_;
};

}  // namespace

void write_msgpack_string(std::string_view s, std::string& out) { put_msgpack_string(s, out); }
void write_msgpack_string(std::string_view s, TextBuffer& out) { put_msgpack_string(s, out); }

void write_msgpack_array_header(std::size_t n, std::string& out) { put_array_header(n, out); }
void write_msgpack_array_header(std::size_t n, TextBuffer& out) { put_array_header(n, out); }
void write_msgpack_uint(std::uint64_t v, std::string& out) { put_uint(v, out); }
void write_msgpack_uint(std::uint64_t v, TextBuffer& out) { put_uint(v, out); }

Result<void> write_json(const Value& v, std::string& out, std::size_t open) {
  return Walk<JsonForm>(out, open).value(v);
}

Result<void> write_json(const Env& env, std::string& out, std::size_t open) {
  return Walk<JsonForm>(out, open).env(env);
}

Result<void> write_json(const Env& env, TextBuffer& out, std::size_t open) {
  return Walk<JsonForm, TextBuffer>(out, open).env(env);
}

constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max() / 2;

std::string json_text(const Value& v) {
  std::string out;
  (void)Walk<JsonForm>(out, 0, kUnlimited).value(v);
  return out;
}

std::string json_text(const Env& env) {
  std::string out;
  (void)Walk<JsonForm>(out, 0, kUnlimited).env(env);
  return out;
}

Result<void> write_msgpack(const Value& v, std::string& out, std::size_t open) {
  return Walk<MsgpackForm>(out, open).value(v);
}

Result<void> write_msgpack(const Env& env, std::string& out, std::size_t open) {
  return Walk<MsgpackForm>(out, open).env(env);
}

Result<void> write_msgpack(const Env& env, TextBuffer& out, std::size_t open) {
  return Walk<MsgpackForm, TextBuffer>(out, open).env(env);
}

}  // namespace vostrel::kernel
