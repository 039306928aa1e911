#include "engine/kernel/types_io.h"

#include <array>

#include "engine/codec/content.h"

namespace vostrel::codec {
namespace {

namespace ex = kernel::expr;

// Field tables of the 19 expression variants, in variant order.
template <class Node>
struct Variant;

#define VOSTREL_VARIANT(NODE, ...)                                                 \
  template <>                                                                      \
  struct Variant<ex::NODE> {                                                       \
    static constexpr std::string_view expecting = "struct variant Expr::" #NODE; \
    static constexpr auto fields = std::array{__VA_ARGS__};                       \
  };

VOSTREL_VARIANT(Lit, field<&ex::Lit::value>("value"))
VOSTREL_VARIANT(Ref, field<&ex::Ref::name>("name"))
VOSTREL_VARIANT(Add, field<&ex::Add::left>("left"), field<&ex::Add::right>("right"))
VOSTREL_VARIANT(Mul, field<&ex::Mul::left>("left"), field<&ex::Mul::right>("right"))
VOSTREL_VARIANT(Div, field<&ex::Div::left>("left"), field<&ex::Div::right>("right"))
VOSTREL_VARIANT(Mod, field<&ex::Mod::left>("left"), field<&ex::Mod::right>("right"))
VOSTREL_VARIANT(Gt, field<&ex::Gt::left>("left"), field<&ex::Gt::right>("right"))
VOSTREL_VARIANT(Eq, field<&ex::Eq::left>("left"), field<&ex::Eq::right>("right"))
VOSTREL_VARIANT(LAppend, field<&ex::LAppend::list>("list"), field<&ex::LAppend::item>("item"))
VOSTREL_VARIANT(MPut, field<&ex::MPut::map>("map"), field<&ex::MPut::key>("key"),
                field<&ex::MPut::value>("value"))
VOSTREL_VARIANT(MGet, field<&ex::MGet::map>("map"), field<&ex::MGet::key>("key"),
                field<&ex::MGet::type_ann>("type_ann", kOptional))
VOSTREL_VARIANT(MDel, field<&ex::MDel::map>("map"), field<&ex::MDel::key>("key"))
VOSTREL_VARIANT(MKeys, field<&ex::MKeys::map>("map"))
VOSTREL_VARIANT(Rec, field<&ex::Rec::fields>("fields"))
VOSTREL_VARIANT(ELet, field<&ex::ELet::name>("name"), field<&ex::ELet::value>("value"),
                field<&ex::ELet::body>("body"))
VOSTREL_VARIANT(IfElse, field<&ex::IfElse::cond>("cond"),
                field<&ex::IfElse::then_expr>("then_expr"),
                field<&ex::IfElse::else_expr>("else_expr"))
VOSTREL_VARIANT(LFold, field<&ex::LFold::list>("list"), field<&ex::LFold::init>("init"),
                field<&ex::LFold::acc_var>("acc_var"), field<&ex::LFold::item_var>("item_var"),
                field<&ex::LFold::body>("body"),
                field<&ex::LFold::item_type_ann>("item_type_ann", kOptional))
VOSTREL_VARIANT(StrCat, field<&ex::StrCat::left>("left"), field<&ex::StrCat::right>("right"))
VOSTREL_VARIANT(Macro, field<&ex::Macro::name>("name"), field<&ex::Macro::args>("args"))

#undef VOSTREL_VARIANT

constexpr std::size_t kVariants = std::size(kernel::kExprVariantNames);

Status read_expr_tag(Deserializer& d, std::size_t& out) {
  return read_variant_id<kernel::kExprVariantNames>(d, out);
}

// A map key of an expression: "op", or anything else kept as it is.
class TagOrContent final : public Visitor {
 public:
  TagOrContent(bool& is_tag, Content& key) : is_tag_(is_tag), keep_(key) {}
  std::string expecting() const override { return "any value"; }
  Status visit_str(std::string_view v) override {
    if (v == "op") {
      is_tag_ = true;
      return {};
    }
    return keep_.visit_str(v);
  }
  Status visit_bytes(std::string_view v) override {
    if (v == "op") {
      is_tag_ = true;
      return {};
    }
    return keep_.visit_bytes(v);
  }
  Status visit_bool(bool v) override { return keep_.visit_bool(v); }
  Status visit_u64(std::uint64_t v, int bits) override { return keep_.visit_u64(v, bits); }
  Status visit_i64(std::int64_t v, int bits) override { return keep_.visit_i64(v, bits); }
  Status visit_f64(double v, int bits) override { return keep_.visit_f64(v, bits); }
  Status visit_unit() override { return keep_.visit_unit(); }
  Status visit_none() override { return keep_.visit_none(); }
  Status visit_some(Deserializer& d) override { return keep_.visit_some(d); }
  Status visit_newtype(Deserializer& d) override { return keep_.visit_newtype(d); }
  Status visit_seq(SeqAccess& seq) override { return keep_.visit_seq(seq); }
  Status visit_map(MapAccess& map) override { return keep_.visit_map(map); }
  Status visit_enum(EnumAccess& data) override { return keep_.visit_enum(data); }

 private:
  bool& is_tag_;
  ContentVisitor keep_;
};

// Reads the tag and holds everything else until the variant is known.
class TaggedContent final : public Visitor {
 public:
  TaggedContent(std::size_t& tag, Content& rest) : tag_(tag), rest_(rest) {}
  std::string expecting() const override { return "internally tagged enum Expr"; }

  Status visit_seq(SeqAccess& seq) override {
    auto got = seq.next_element([&](Deserializer& d) { return read_expr_tag(d, tag_); });
    VOSTREL_TRY(got);
    if (!*got) return missing_field("op");
    ContentVisitor rest(rest_);
    return rest.visit_seq(seq);
  }

  Status visit_map(MapAccess& map) override {
    bool have_tag = false;
    rest_.kind = Content::Kind::Map;
    for (;;) {
      bool is_tag = false;
      // Read in its place, not on this frame: a level costs less stack.
      auto& entry = rest_.entries.emplace_back();
      auto more = map.next_key([&](Deserializer& d) {
        TagOrContent v(is_tag, entry.first);
        return d.any(v);
      });
      if (!more || !*more || is_tag) rest_.entries.pop_back();
      VOSTREL_TRY(more);
      if (!*more) break;
      if (is_tag) {
        if (have_tag) return duplicate_field("op");
        VOSTREL_TRY(map.next_value([&](Deserializer& d) { return read_expr_tag(d, tag_); }));
        have_tag = true;
        continue;
      }
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return capture(d, entry.second); }));
    }
    if (!have_tag) return missing_field("op");
    return {};
  }

 private:
  std::size_t& tag_;
  Content& rest_;
};

// The node is read in its place: expressions nest once per level of this
// recursion, and a node held on the frame would cost its size per level.
template <std::size_t I>
Status read_node(Deserializer& d, kernel::Expr& out) {
  using Node = std::variant_alternative_t<I, kernel::ExprNode>;
  static_assert(std::size(Variant<Node>::fields) <= kMaxFields);
  Node& node = out.node.template emplace<I>();
  return read_struct(d, &node, Variant<Node>::expecting,
                     std::span<const FieldEntry>(Variant<Node>::fields));
}

template <std::size_t... I>
constexpr auto node_readers(std::index_sequence<I...>) {
  return std::array<Status (*)(Deserializer&, kernel::Expr&), sizeof...(I)>{&read_node<I>...};
}

constexpr auto kNodeReaders = node_readers(std::make_index_sequence<kVariants>());

constexpr std::array<std::string_view, 5> kVTypeNames = {"TStr", "TInt", "TBool", "TList",
                                                          "TMap"};

class VTypeVisitor final : public Visitor {
 public:
  explicit VTypeVisitor(kernel::VType& out) : out_(out) {}
  std::string expecting() const override { return "enum VType"; }
  Status visit_enum(EnumAccess& data) override {
    VOSTREL_TRY(data.variant(
        [&](Deserializer& d) { return codec::read_variant_id<kVTypeNames>(d, out_); }));
    return data.unit_variant();
  }

 private:
  kernel::VType& out_;
};

class OptionVType final : public Visitor {
 public:
  explicit OptionVType(std::optional<kernel::VType>& out) : out_(out) {}
  std::string expecting() const override { return "option"; }
  Status visit_none() override {
    out_.reset();
    return {};
  }
  Status visit_unit() override { return visit_none(); }
  Status visit_some(Deserializer& d) override {
    kernel::VType t{};
    VTypeVisitor v(t);
    VOSTREL_TRY(d.enumeration(v));
    out_ = t;
    return {};
  }

 private:
  std::optional<kernel::VType>& out_;
};

// The tag of an expression already held in the tree, found as the general
// path below finds it (the same checks, in the same order), so that the node
// is read from the tree itself with the tag left out. Copying the rest of
// each node instead would copy every subtree once per level above it.
// Sets `tag` and the position `at` of the tag's entry; null: not a sequence
// or a map, for the general path to refuse. Out of line: the expressions
// read from the tree recurse through read_held_expr, which keeps only the
// node's reader on its frame.
[[gnu::noinline]] std::optional<Status> find_held_tag(const Content& c, std::size_t& tag,
                                                      std::size_t& at) {
  if (c.kind == Content::Kind::Seq) {
    if (c.items.empty()) return missing_field("op");
    ContentDeserializer d(c.items[0]);
    return read_expr_tag(d, tag);
  }
  if (c.kind != Content::Kind::Map) return std::nullopt;
  bool have_tag = false;
  for (std::size_t i = 0; i < c.entries.size(); ++i) {
    const Content& key = c.entries[i].first;
    bool is_tag = (key.kind == Content::Kind::String || key.kind == Content::Kind::Bytes) &&
                  key.s == "op";
    if (!is_tag) continue;
    if (have_tag) return duplicate_field("op");
    ContentDeserializer d(c.entries[i].second);
    VOSTREL_TRY(read_expr_tag(d, tag));
    have_tag = true;
    at = i;
  }
  if (!have_tag) return missing_field("op");
  return Status{};
}

std::optional<Status> read_held_expr(const Content& c, kernel::Expr& out) {
  std::size_t tag = 0;
  std::size_t at = 0;
  auto found = find_held_tag(c, tag, at);
  if (!found || !*found) return found;
  ContentDeserializer rest(c, at);
  return kNodeReaders[tag](rest, out);
}

// An expression read from a stream: the whole of it held first. Out of line,
// so that its held tree stays off the frames of the nested reads below.
[[gnu::noinline]] Status read_streamed_expr(Deserializer& d, kernel::Expr& out) {
  std::size_t tag = 0;
  Content rest;
  TaggedContent v(tag, rest);
  VOSTREL_TRY(d.any(v));
  ContentDeserializer buffered(rest);
  return kNodeReaders[tag](buffered, out);
}

}  // namespace

Status read_expr(Deserializer& d, kernel::Expr& out) {
  if (const Content* held = d.held()) {
    if (auto st = read_held_expr(*held, out)) return *st;
  }
  return read_streamed_expr(d, out);
}

Status read_vtype_opt(Deserializer& d, std::optional<kernel::VType>& out) {
  OptionVType v(out);
  return d.option(v);
}

}  // namespace vostrel::codec

namespace vostrel::kernel {

Result<TransducerDef> transducer_from_json(std::string_view text) {
  return codec::from_json<TransducerDef>(text);
}

Result<std::vector<TransducerDef>> transducers_from_msgpack(std::string_view bytes) {
  return codec::from_msgpack<std::vector<TransducerDef>>(bytes);
}

}  // namespace vostrel::kernel
