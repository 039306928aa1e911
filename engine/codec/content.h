// The generic parsed tree: a subtree held as the codec parsed it, for places
// whose meaning is known only later (the value of a Lit node, an expression
// map whose "op" comes late, a Value object whose "value" precedes "type").
//
// `capture` reads one subtree from any deserializer into a Content (with a
// stack of its own where the format opens arrays and maps in place);
// `ContentDeserializer` then reads it again as a token source (the buffered
// reader), with its own rules: a tag may be a variant index only where an
// identifier is read, a record array must be used up ("invalid length {},
// expected 2 elements in sequence"), the tag of an enumeration must be a
// string or a map ("invalid type: {}, expected string or map"). It has no
// depth limit of its own (the tree was bounded when it was captured) and no
// position: its errors are placed by the enclosing JSON read, if any.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/codec/de.h"

namespace vostrel::codec {

struct Content {
  enum class Kind : std::uint8_t {
    Bool, U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, String, Bytes, Unit, None, Some,
    Newtype, Seq, Map,
  };
  Kind kind = Kind::Unit;
  bool b = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
  std::string s;                                  // String, Bytes
  std::vector<Content> items;                     // Seq; Some and Newtype hold one
  std::vector<std::pair<Content, Content>> entries;  // Map, in document order

  // Defined where Content is complete: a pair of an incomplete type cannot
  // be destroyed or copied, and clang instantiates the implicit members at
  // the closing brace.
  Content();
  ~Content();
  Content(const Content&);
  Content(Content&&) noexcept;
  Content& operator=(const Content&);
  Content& operator=(Content&&) noexcept;

  Unexpected unexpected() const;
};

// Reads one value of whatever kind from `d`.
Status capture(Deserializer& d, Content& out);

// The visitor behind capture(), for visitors that keep most of what they
// are shown (see the expression reader).
class ContentVisitor final : public Visitor {
 public:
  explicit ContentVisitor(Content& out) : out_(out) {}
  std::string expecting() const override { return "any value"; }
  Status visit_bool(bool v) override;
  Status visit_u64(std::uint64_t v, int bits) override;
  Status visit_i64(std::int64_t v, int bits) override;
  Status visit_f64(double v, int bits) override;
  Status visit_str(std::string_view v) override;
  Status visit_bytes(std::string_view v) override;
  Status visit_unit() override;
  Status visit_none() override;
  Status visit_some(Deserializer& d) override;
  Status visit_newtype(Deserializer& d) override;
  Status visit_seq(SeqAccess& seq) override;
  Status visit_map(MapAccess& map) override;
  Status visit_enum(EnumAccess& data) override;

 private:
  Status wrap(Content::Kind kind, Deserializer& d);
  Content& out_;
};

class ContentDeserializer;

// A parsed tree read as a stream of items, for readers that open arrays and
// maps in place (Deserializer::open): the root first and, once an array or
// map is opened, its elements (a map's keys and values in turn), each read
// by the rules of ContentDeserializer; an array or map left short is refused
// as that reader refuses it ("invalid length {}, expected {} elements in
// sequence").
class ContentStream final : public Deserializer {
 public:
  explicit ContentStream(const Content& root) : root_(root) {}

  Status any(Visitor& v) override;
  Status boolean(Visitor& v) override;
  Status i64(Visitor& v) override;
  Status u64(Visitor& v) override;
  Status string(Visitor& v) override;
  Status seq(Visitor& v) override;
  Status map(Visitor& v) override;
  Status structure(Visitor& v) override;
  Status enumeration(Visitor& v) override;
  Status identifier(Visitor& v) override;
  Status option(Visitor& v) override;
  Status unit(Visitor& v) override;
  Status ignored_any(Visitor& v) override;
  const Content* held() const override { return &peek(); }
  std::expected<Opened, Error> open(bool seq, bool map) override;
  Status close(const Opened& opened, std::uint32_t left) override;

 private:
  // An open array or map and how many of its items were taken (a map's
  // keys and values counted apart).
  struct Level {
    const Content* node;
    std::size_t taken;
  };
  const Content& peek() const;
  const Content& take();

  const Content& root_;
  std::vector<Level> open_;
};

class ContentDeserializer final : public Deserializer {
 public:
  explicit ContentDeserializer(const Content& c) : c_(c) {}
  // `c` as if its item or entry at `omitted` were not there: the rest of an
  // internally tagged node once its tag is read, without copying the rest.
  ContentDeserializer(const Content& c, std::size_t omitted) : c_(c), omitted_(omitted) {}

  Status any(Visitor& v) override;
  Status boolean(Visitor& v) override;
  Status i64(Visitor& v) override { return integer(v); }
  Status u64(Visitor& v) override { return integer(v); }
  Status string(Visitor& v) override;
  Status seq(Visitor& v) override;
  Status map(Visitor& v) override;
  Status structure(Visitor& v) override;
  Status enumeration(Visitor& v) override;
  Status identifier(Visitor& v) override;
  Status option(Visitor& v) override;
  Status unit(Visitor& v) override;
  Status ignored_any(Visitor& v) override { return v.visit_unit(); }
  const Content* held() const override { return omitted_ == kNone ? &c_ : nullptr; }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  Status integer(Visitor& v);
  // Cold and out of line: the tree is read through these frames once per
  // level.
  [[gnu::cold, gnu::noinline]] std::unexpected<Error> refuse(const Visitor& v) const {
    return invalid_type(c_.unexpected(), v.expecting());
  }
  const Content& c_;
  std::size_t omitted_ = kNone;
};

}  // namespace vostrel::codec
