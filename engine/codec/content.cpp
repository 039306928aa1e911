#include "engine/codec/content.h"

namespace vostrel::codec {

Content::Content() = default;
// Children are taken out before a node dies, so that freeing a deep tree
// does not recurse: every node destroyed in the loop has none left.
Content::~Content() {
  if (items.empty() && entries.empty()) return;
  std::vector<Content> dying;
  auto take_children = [&](Content& c) {
    for (Content& item : c.items) dying.push_back(std::move(item));
    for (auto& [key, value] : c.entries) {
      dying.push_back(std::move(key));
      dying.push_back(std::move(value));
    }
    c.items.clear();
    c.entries.clear();
  };
  take_children(*this);
  while (!dying.empty()) {
    Content c = std::move(dying.back());
    dying.pop_back();
    take_children(c);
  }
}
Content::Content(const Content&) = default;
Content::Content(Content&&) noexcept = default;
Content& Content::operator=(const Content&) = default;
Content& Content::operator=(Content&&) noexcept = default;

namespace {

using CK = Content::Kind;

// The items or entries of a sequence or map in the tree, the one at
// `omitted` (if any) left out.
template <class T>
class Elements {
 public:
  Elements(const std::vector<T>& all, std::size_t omitted) : all_(all), omitted_(omitted) {}
  std::size_t size() const { return all_.size() - (omitted_ < all_.size() ? 1 : 0); }
  // The next element, or null at the end.
  const T* next() {
    if (next_ == omitted_) ++next_;
    if (next_ >= all_.size()) return nullptr;
    ++taken_;
    return &all_[next_++];
  }
  bool at_end() const { return taken_ == size(); }
  std::size_t taken() const { return taken_; }

 private:
  const std::vector<T>& all_;
  std::size_t omitted_;
  std::size_t next_ = 0;
  std::size_t taken_ = 0;
};

class ContentSeq final : public SeqAccess {
 public:
  ContentSeq(const std::vector<Content>& items, std::size_t omitted) : items_(items, omitted) {}
  std::expected<bool, Error> next_element(Seed seed) override {
    const Content* item = items_.next();
    if (!item) return false;
    ContentDeserializer d(*item);
    VOSTREL_TRY(seed(d));
    return true;
  }
  // A record or value that stops early refuses the rest.
  Status end() const {
    if (items_.at_end()) return {};
    return invalid_length(items_.size(), elements_in(items_.taken(), "sequence"));
  }

 private:
  Elements<Content> items_;
};

class ContentMap final : public MapAccess {
 public:
  ContentMap(const std::vector<std::pair<Content, Content>>& entries, std::size_t omitted)
      : entries_(entries, omitted) {}
  std::expected<bool, Error> next_key(Seed seed) override {
    current_ = entries_.next();
    if (!current_) return false;
    ContentDeserializer d(current_->first);
    VOSTREL_TRY(seed(d));
    return true;
  }
  Status next_value(Seed seed) override {
    ContentDeserializer d(current_->second);
    return seed(d);
  }
  Status end() const {
    if (entries_.at_end()) return {};
    return invalid_length(entries_.size(), elements_in(entries_.taken(), "map"));
  }

 private:
  Elements<std::pair<Content, Content>> entries_;
  const std::pair<Content, Content>* current_ = nullptr;
};

Status visit_content_seq(const Content& c, Visitor& v, std::size_t omitted) {
  ContentSeq seq(c.items, omitted);
  VOSTREL_TRY(v.visit_seq(seq));
  return seq.end();
}

Status visit_content_map(const Content& c, Visitor& v, std::size_t omitted) {
  ContentMap map(c.entries, omitted);
  VOSTREL_TRY(v.visit_map(map));
  return map.end();
}

// The tag of an enumeration held in the tree: {name: value} or a name.
class ContentEnum final : public EnumAccess {
 public:
  ContentEnum(const Content& variant, const Content* value) : variant_(variant), value_(value) {}
  Status variant(Seed seed) override {
    ContentDeserializer d(variant_);
    return seed(d);
  }
  Status unit_variant() override {
    if (!value_) return {};
    struct UnitVisitor final : Visitor {
      std::string expecting() const override { return "unit"; }
      Status visit_unit() override { return {}; }
    } v;
    ContentDeserializer d(*value_);
    return d.unit(v);
  }

 private:
  const Content& variant_;
  const Content* value_;
};

}  // namespace

Status ContentVisitor::visit_bool(bool v) { out_.kind = CK::Bool; out_.b = v; return {}; }
Status ContentVisitor::visit_u64(std::uint64_t v, int bits) {
  out_.kind = bits == 8 ? CK::U8 : bits == 16 ? CK::U16 : bits == 32 ? CK::U32 : CK::U64;
  out_.u = v;
  return {};
}
Status ContentVisitor::visit_i64(std::int64_t v, int bits) {
  out_.kind = bits == 8 ? CK::I8 : bits == 16 ? CK::I16 : bits == 32 ? CK::I32 : CK::I64;
  out_.i = v;
  return {};
}
Status ContentVisitor::visit_f64(double v, int bits) {
  out_.kind = bits == 32 ? CK::F32 : CK::F64;
  out_.f = v;
  return {};
}
Status ContentVisitor::visit_str(std::string_view v) { out_.kind = CK::String; out_.s = v; return {}; }
Status ContentVisitor::visit_bytes(std::string_view v) { out_.kind = CK::Bytes; out_.s = v; return {}; }
Status ContentVisitor::visit_unit() { out_.kind = CK::Unit; return {}; }
Status ContentVisitor::visit_none() { out_.kind = CK::None; return {}; }
Status ContentVisitor::visit_some(Deserializer& d) { return wrap(CK::Some, d); }
Status ContentVisitor::visit_newtype(Deserializer& d) { return wrap(CK::Newtype, d); }
// Items and entries are read in their places: a recursion per level that
// kept them on its frame until they were complete would cost the stack a
// whole Content (or two) per level.
Status ContentVisitor::visit_seq(SeqAccess& seq) {
  out_.kind = CK::Seq;
  for (;;) {
    Content& item = out_.items.emplace_back();
    auto more = seq.next_element([&](Deserializer& d) { return capture(d, item); });
    if (!more || !*more) {
      out_.items.pop_back();
      VOSTREL_TRY(more);
      return {};
    }
  }
}
Status ContentVisitor::visit_map(MapAccess& map) {
  out_.kind = CK::Map;
  for (;;) {
    auto& entry = out_.entries.emplace_back();
    auto more = map.next_key([&](Deserializer& d) { return capture(d, entry.first); });
    if (!more || !*more) {
      out_.entries.pop_back();
      VOSTREL_TRY(more);
      return {};
    }
    VOSTREL_TRY(map.next_value([&](Deserializer& d) { return capture(d, entry.second); }));
  }
}
Status ContentVisitor::visit_enum(EnumAccess&) {
  return error("untagged and internally tagged enums do not support enum input");
}
Status ContentVisitor::wrap(CK kind, Deserializer& d) {
  out_.kind = kind;
  out_.items.emplace_back();
  return capture(d, out_.items.back());
}

namespace {

// Captures a tree whose root array or map `first` is open, with a stack of
// its own: MessagePack nests 1023 levels, more than recursion should take.
[[gnu::noinline]] Status capture_deep(Deserializer& d, Content& out, const Opened& first) {
  struct Level {
    Content* node;
    Opened opened;
    std::uint32_t left;
    bool value_next;  // a map whose key was read last
  };
  std::vector<Level> open;
  auto enter = [&](Content& slot, const Opened& o) {
    slot.kind = o.kind == Opened::Kind::Seq ? CK::Seq : CK::Map;
    open.push_back(Level{&slot, o, o.len, false});
  };
  enter(out, first);
  while (!open.empty()) {
    Level& l = open.back();
    Content* slot = nullptr;
    if (l.value_next) {
      slot = &l.node->entries.back().second;
      l.value_next = false;
    } else if (l.left == 0) {
      VOSTREL_TRY(d.close(l.opened, 0));
      open.pop_back();
      continue;
    } else if (--l.left, l.opened.kind == Opened::Kind::Seq) {
      slot = &l.node->items.emplace_back();
    } else {
      slot = &l.node->entries.emplace_back().first;
      l.value_next = true;
    }
    auto o = d.open(true, true);
    VOSTREL_TRY(o);
    if (o->kind != Opened::Kind::None) {
      enter(*slot, *o);
      continue;
    }
    ContentVisitor v(*slot);
    VOSTREL_TRY(d.any(v));
  }
  return {};
}

}  // namespace

Status capture(Deserializer& d, Content& out) {
  auto opened = d.open(true, true);
  VOSTREL_TRY(opened);
  if (opened->kind != Opened::Kind::None) return capture_deep(d, out, *opened);
  ContentVisitor v(out);
  return d.any(v);
}

const Content& ContentStream::peek() const {
  if (open_.empty()) return root_;
  const Level& l = open_.back();
  if (l.node->kind == CK::Seq) return l.node->items[l.taken];
  const auto& entry = l.node->entries[l.taken / 2];
  return l.taken % 2 == 0 ? entry.first : entry.second;
}

const Content& ContentStream::take() {
  const Content& c = peek();
  if (!open_.empty()) ++open_.back().taken;
  return c;
}

Status ContentStream::any(Visitor& v) { return ContentDeserializer(take()).any(v); }
Status ContentStream::boolean(Visitor& v) { return ContentDeserializer(take()).boolean(v); }
Status ContentStream::i64(Visitor& v) { return ContentDeserializer(take()).i64(v); }
Status ContentStream::u64(Visitor& v) { return ContentDeserializer(take()).u64(v); }
Status ContentStream::string(Visitor& v) { return ContentDeserializer(take()).string(v); }
Status ContentStream::seq(Visitor& v) { return ContentDeserializer(take()).seq(v); }
Status ContentStream::map(Visitor& v) { return ContentDeserializer(take()).map(v); }
Status ContentStream::structure(Visitor& v) { return ContentDeserializer(take()).structure(v); }
Status ContentStream::enumeration(Visitor& v) { return ContentDeserializer(take()).enumeration(v); }
Status ContentStream::identifier(Visitor& v) { return ContentDeserializer(take()).identifier(v); }
Status ContentStream::option(Visitor& v) { return ContentDeserializer(take()).option(v); }
Status ContentStream::unit(Visitor& v) { return ContentDeserializer(take()).unit(v); }
Status ContentStream::ignored_any(Visitor& v) {
  take();
  return v.visit_unit();
}

std::expected<Opened, Error> ContentStream::open(bool seq, bool map) {
  const Content& c = peek();
  const bool is_seq = c.kind == CK::Seq;
  if (!(seq && is_seq) && !(map && c.kind == CK::Map)) return Opened{};
  take();
  open_.push_back(Level{&c, 0});
  const std::size_t n = is_seq ? c.items.size() : c.entries.size();
  return Opened{is_seq ? Opened::Kind::Seq : Opened::Kind::Map, static_cast<std::uint32_t>(n), n};
}

// As visit_content_seq and visit_content_map refuse what a visitor left.
Status ContentStream::close(const Opened& opened, std::uint32_t left) {
  open_.pop_back();
  if (left == 0) return {};
  const bool seq = opened.kind == Opened::Kind::Seq;
  return invalid_length(opened.len, elements_in(opened.len - left, seq ? "sequence" : "map"));
}

Unexpected Content::unexpected() const {
  using UK = Unexpected::Kind;
  switch (kind) {
    case CK::Bool: return Unexpected::boolean(b);
    case CK::U8: case CK::U16: case CK::U32: case CK::U64: return Unexpected::unsigned_int(u);
    case CK::I8: case CK::I16: case CK::I32: case CK::I64: return Unexpected::signed_int(i);
    case CK::F32: case CK::F64: return Unexpected::floating(f);
    case CK::String: return Unexpected::str(s);
    case CK::Bytes: return Unexpected::of(UK::Bytes);
    case CK::Unit: return Unexpected::of(UK::Unit);
    case CK::None: case CK::Some: return Unexpected::of(UK::Option);
    case CK::Newtype: return Unexpected::of(UK::NewtypeStruct);
    case CK::Seq: return Unexpected::of(UK::Seq);
    case CK::Map: return Unexpected::of(UK::Map);
  }
  return Unexpected::of(UK::Unit);
}

Status ContentDeserializer::any(Visitor& v) {
  switch (c_.kind) {
    case CK::Bool: return v.visit_bool(c_.b);
    case CK::U8: return v.visit_u64(c_.u, 8);
    case CK::U16: return v.visit_u64(c_.u, 16);
    case CK::U32: return v.visit_u64(c_.u, 32);
    case CK::U64: return v.visit_u64(c_.u, 64);
    case CK::I8: return v.visit_i64(c_.i, 8);
    case CK::I16: return v.visit_i64(c_.i, 16);
    case CK::I32: return v.visit_i64(c_.i, 32);
    case CK::I64: return v.visit_i64(c_.i, 64);
    case CK::F32: return v.visit_f64(c_.f, 32);
    case CK::F64: return v.visit_f64(c_.f, 64);
    case CK::String: return v.visit_str(c_.s);
    case CK::Bytes: return v.visit_bytes(c_.s);
    case CK::Unit: return v.visit_unit();
    case CK::None: return v.visit_none();
    case CK::Some: {
      ContentDeserializer inner(c_.items[0]);
      return v.visit_some(inner);
    }
    case CK::Newtype: {
      ContentDeserializer inner(c_.items[0]);
      return v.visit_newtype(inner);
    }
    case CK::Seq: return visit_content_seq(c_, v, omitted_);
    case CK::Map: return visit_content_map(c_, v, omitted_);
  }
  return {};
}

Status ContentDeserializer::boolean(Visitor& v) {
  if (c_.kind == CK::Bool) return v.visit_bool(c_.b);
  return refuse(v);
}

Status ContentDeserializer::integer(Visitor& v) {
  switch (c_.kind) {
    case CK::U8: case CK::U16: case CK::U32: case CK::U64:
    case CK::I8: case CK::I16: case CK::I32: case CK::I64:
      return any(v);
    default:
      return refuse(v);
  }
}

Status ContentDeserializer::string(Visitor& v) {
  if (c_.kind == CK::String) return v.visit_str(c_.s);
  if (c_.kind == CK::Bytes) return v.visit_bytes(c_.s);
  return refuse(v);
}

Status ContentDeserializer::seq(Visitor& v) {
  if (c_.kind == CK::Seq) return visit_content_seq(c_, v, omitted_);
  return refuse(v);
}

Status ContentDeserializer::map(Visitor& v) {
  if (c_.kind == CK::Map) return visit_content_map(c_, v, omitted_);
  return refuse(v);
}

Status ContentDeserializer::structure(Visitor& v) {
  if (c_.kind == CK::Seq) return visit_content_seq(c_, v, omitted_);
  if (c_.kind == CK::Map) return visit_content_map(c_, v, omitted_);
  return refuse(v);
}

Status ContentDeserializer::enumeration(Visitor& v) {
  if (c_.kind == CK::Map) {
    Elements entries(c_.entries, omitted_);
    if (entries.size() != 1)
      return invalid_value(Unexpected::of(Unexpected::Kind::Map), "map with a single key");
    const auto* only = entries.next();
    ContentEnum access(only->first, &only->second);
    return v.visit_enum(access);
  }
  if (c_.kind == CK::String) {
    ContentEnum access(c_, nullptr);
    return v.visit_enum(access);
  }
  return invalid_type(c_.unexpected(), "string or map");
}

Status ContentDeserializer::identifier(Visitor& v) {
  switch (c_.kind) {
    case CK::String: return v.visit_str(c_.s);
    case CK::Bytes: return v.visit_bytes(c_.s);
    // Every integer format; the visitor decides what it takes.
    case CK::U8: case CK::U16: case CK::U32: case CK::U64:
    case CK::I8: case CK::I16: case CK::I32: case CK::I64:
      return any(v);
    default: return refuse(v);
  }
}

Status ContentDeserializer::option(Visitor& v) {
  switch (c_.kind) {
    case CK::None: return v.visit_none();
    case CK::Some: {
      ContentDeserializer inner(c_.items[0]);
      return v.visit_some(inner);
    }
    case CK::Unit: return v.visit_unit();
    default: return v.visit_some(*this);
  }
}

Status ContentDeserializer::unit(Visitor& v) {
  if (c_.kind == CK::Unit) return v.visit_unit();
  if (c_.kind == CK::Map && Elements(c_.entries, omitted_).size() == 0) return v.visit_unit();
  return refuse(v);
}

}  // namespace vostrel::codec
