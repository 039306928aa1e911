// The one record reader of the system, and the readers of the common field
// kinds, over any token source (JSON text, MessagePack bytes, parsed tree).
//
// Declaring a record takes a field table in declaration order (the order of
// the positional form). For example, in the header that owns the record:
//
//   struct DispatchRule { std::string request_type, result_type; };
//
//   template <>
//   struct vostrel::codec::Codec<DispatchRule> : vostrel::codec::Record<DispatchRule> {
//     static constexpr std::string_view expecting = "struct DispatchRule";
//     static constexpr auto fields = std::array{
//         codec::field<&DispatchRule::request_type>("request_type"),
//         codec::field<&DispatchRule::result_type>("result_type"),
//     };
//   };
//
// and then `codec::from_json<DispatchRule>(text)`,
// `codec::from_json<std::vector<DispatchRule>>(text)` or
// `codec::from_msgpack<Snapshot>(bytes)` (std::expected<T, std::string>, the
// message of a JSON error ending in " at line L column C").
//
// A field's kind comes from its member type: std::string ("a string"),
// std::uint64_t ("u64"), std::int64_t ("i64"), bool, std::vector<T> ("a
// sequence"), std::map<std::string, T> ("a map"; later duplicates win),
// the kernel's Value and Env (engine/kernel/value_io.h), its Expr and its
// other records (types_io.h), or any record declared as above. A member of
// another kind, or with other texts, takes a reader of its own:
//   codec::field<&MacroDef::bindings, &codec::read_usize_list>("bindings", codec::kDefault)
//
// A field is required unless declared with
//   codec::kOptional: may be absent from the map form (stays default), must be present in
//                     the positional form (an optional annotation);
//   codec::kDefault:  may be absent from either form (stays default-constructed).
//
// Map form: keys in any order, unknown keys skipped (their values must be
// well-formed), "duplicate field `x`" as soon as a key repeats, after the
// last entry "missing field `x`" for the first missing required field in
// declaration order. MessagePack keys may also be binary strings, and an
// integer key k selects field k (beyond the last field it is ignored).
// Positional form: "invalid length N, expected struct X with M elements" when
// short; surplus elements are refused by the codec ("trailing characters" in
// JSON, "array had incorrect length, expected M" in MessagePack, "invalid
// length N, expected M elements in sequence" in the parsed tree). Anything
// else: "invalid type: {found}, expected struct X".
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/codec/de.h"
#include "engine/codec/json_reader.h"
#include "engine/codec/msgpack_reader.h"
#include "engine/result.h"

namespace vostrel::codec {

// How a T is read: `static Status read(Deserializer&, T&)`.
template <class T>
struct Codec;

enum class Missing : std::uint8_t { Required, Optional, Default };
inline constexpr Missing kRequired = Missing::Required;
inline constexpr Missing kOptional = Missing::Optional;
inline constexpr Missing kDefault = Missing::Default;

// One entry of a field table; made by field<>() below.
struct FieldEntry {
  std::string_view name;
  Status (*read)(Deserializer&, void* record);
  Missing missing = Missing::Required;
};

namespace detail {
template <class T>
struct MemberOf;
template <class C, class M>
struct MemberOf<M C::*> {
  using record = C;
  using type = M;
};
}  // namespace detail

// A field read by the reader of its member type.
template <auto Member>
constexpr FieldEntry field(std::string_view name, Missing missing = Missing::Required) {
  using R = typename detail::MemberOf<decltype(Member)>::record;
  using M = typename detail::MemberOf<decltype(Member)>::type;
  return FieldEntry{name,
                    [](Deserializer& d, void* r) -> Status {
                      return Codec<M>::read(d, static_cast<R*>(r)->*Member);
                    },
                    missing};
}

// A field read by `Read`, a Status(Deserializer&, M&) function.
template <auto Member, auto Read>
constexpr FieldEntry field(std::string_view name, Missing missing = Missing::Required) {
  using R = typename detail::MemberOf<decltype(Member)>::record;
  return FieldEntry{name,
                    [](Deserializer& d, void* r) -> Status {
                      return Read(d, static_cast<R*>(r)->*Member);
                    },
                    missing};
}

// Reads a record through its field table (at most kMaxFields fields);
// `expecting` is "struct X" (the positional length message appends " with N
// elements").
inline constexpr std::size_t kMaxFields = 64;
Status read_struct(Deserializer& d, void* record, std::string_view expecting,
                   std::span<const FieldEntry> fields);

// The base of a record's Codec: reads through its `expecting` and `fields`.
template <class R>
struct Record {
  static Status read(Deserializer& d, R& out) {
    static_assert(std::size(Codec<R>::fields) <= kMaxFields);
    return read_struct(d, &out, Codec<R>::expecting, std::span<const FieldEntry>(Codec<R>::fields));
  }
};

// --- variant identifiers ---------------------------------------------------

// Reads a variant identifier against `Names`, the variant names of an
// enumeration in variant order (an array of std::string_view with static
// storage), and stores the variant's position: a name (a binary string too,
// shown with U+FFFD for invalid UTF-8 when unknown: "unknown variant `x`,
// expected ..."), or where the codec hands one over a non-negative index
// ("invalid value: integer `7`, expected variant index 0 <= i < N"). E is
// an enumeration whose values are the positions, or std::size_t.
template <const auto& Names, class E>
Status read_variant_id(Deserializer& d, E& out);

namespace detail {

// The messages of a refused variant identifier, written once for every table.
std::unexpected<Error> variant_index_out_of_range(std::uint64_t v, std::size_t count);
std::unexpected<Error> unknown_variant_bytes(std::string_view v,
                                             std::span<const std::string_view> names);

template <const auto& Names>
class VariantIndex final : public Visitor {
 public:
  explicit VariantIndex(std::size_t& out) : out_(out) {}
  std::string expecting() const override { return "variant identifier"; }
  Status visit_u64(std::uint64_t v, int) override {
    if (v >= std::size(Names)) return variant_index_out_of_range(v, std::size(Names));
    out_ = static_cast<std::size_t>(v);
    return {};
  }
  // A non-negative index stored in a signed format is an index all the same.
  Status visit_i64(std::int64_t v, int bits) override {
    if (v < 0) return Visitor::visit_i64(v, bits);
    return visit_u64(static_cast<std::uint64_t>(v), bits);
  }
  Status visit_str(std::string_view v) override {
    if (find(v, std::make_index_sequence<std::size(Names)>())) return {};
    return unknown_variant(v, Names);
  }
  Status visit_bytes(std::string_view v) override {
    if (find(v, std::make_index_sequence<std::size(Names)>())) return {};
    return unknown_variant_bytes(v, Names);
  }

 private:
  // Tags are read once per value: each name is compared as the constant it
  // is, which the compiler turns into a length test and a word or two.
  template <std::size_t... I>
  bool find(std::string_view v, std::index_sequence<I...>) {
    return ((v.size() == Names[I].size() &&
             std::char_traits<char>::compare(v.data(), Names[I].data(), Names[I].size()) == 0 &&
             (out_ = I, true)) ||
            ...);
  }
  std::size_t& out_;
};

}  // namespace detail

template <const auto& Names, class E>
Status read_variant_id(Deserializer& d, E& out) {
  std::size_t index = 0;
  detail::VariantIndex<Names> v(index);
  VOSTREL_TRY(d.identifier(v));
  out = static_cast<E>(index);
  return {};
}

// --- the common kinds ------------------------------------------------------

Status read_string(Deserializer& d, std::string& out);
Status read_u64(Deserializer& d, std::uint64_t& out);
Status read_i64(Deserializer& d, std::int64_t& out);
Status read_bool(Deserializer& d, bool& out);
// An unsigned integer named "usize" in messages, and a list of them.
Status read_usize(Deserializer& d, std::uint64_t& out);
Status read_usize_list(Deserializer& d, std::vector<std::uint64_t>& out);

// Walks a sequence ("invalid type: {}, expected a sequence" otherwise),
// handing each element's deserializer to `element`; `reserve` is told the
// number of elements first where the format knows it.
Status read_seq(Deserializer& d, FnRef<Status(Deserializer&)> element,
                FnRef<void(std::size_t)> reserve = [](std::size_t) {});
// Walks a map with string keys ("... expected a map"), handing each key and
// the value's deserializer to `entry`.
Status read_string_map(Deserializer& d, FnRef<Status(std::string&&, Deserializer&)> entry);

template <>
struct Codec<std::string> {
  static Status read(Deserializer& d, std::string& out) { return read_string(d, out); }
};
template <>
struct Codec<std::uint64_t> {
  static Status read(Deserializer& d, std::uint64_t& out) { return read_u64(d, out); }
};
template <>
struct Codec<std::int64_t> {
  static Status read(Deserializer& d, std::int64_t& out) { return read_i64(d, out); }
};
template <>
struct Codec<bool> {
  static Status read(Deserializer& d, bool& out) { return read_bool(d, out); }
};

template <class T>
struct Codec<std::vector<T>> {
  static Status read(Deserializer& d, std::vector<T>& out) {
    // Each element is read in its place; one that fails is dropped again.
    return read_seq(
        d,
        [&](Deserializer& e) -> Status {
          Status st = Codec<T>::read(e, out.emplace_back());
          if (!st) out.pop_back();
          return st;
        },
        [&](std::size_t n) { out.reserve(out.size() + n); });
  }
};

template <class T, class Cmp>
struct Codec<std::map<std::string, T, Cmp>> {
  static Status read(Deserializer& d, std::map<std::string, T, Cmp>& out) {
    return read_string_map(d, [&](std::string&& key, Deserializer& e) -> Status {
      // Keys written by this system come in order: hinted at the end, each
      // costs one comparison instead of a search, and a new entry's value is
      // read in its place. A repeated key keeps its place and takes the later
      // value, read whole before it replaces the earlier one.
      std::size_t before = out.size();
      auto it = out.try_emplace(out.end(), std::move(key));
      if (out.size() == before) {
        T item{};
        VOSTREL_TRY(Codec<T>::read(e, item));
        it->second = std::move(item);
        return {};
      }
      Status st = Codec<T>::read(e, it->second);
      if (!st) out.erase(it);
      return st;
    });
  }
};

// --- whole documents -------------------------------------------------------

// One T filling a whole JSON text (blanks around it allowed).
template <class T>
Result<T> from_json(std::string_view text) {
  T out{};
  Status st = read_json(text, [&](Deserializer& d) { return Codec<T>::read(d, out); });
  if (!st) return fail(st.error().text());
  return out;
}

// One T from the start of MessagePack bytes (bytes after it ignored).
template <class T>
Result<T> from_msgpack(std::string_view bytes) {
  T out{};
  Status st = read_msgpack(bytes, [&](Deserializer& d) { return Codec<T>::read(d, out); });
  if (!st) return fail(st.error().text());
  return out;
}

}  // namespace vostrel::codec
