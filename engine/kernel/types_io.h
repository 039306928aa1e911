// Readers of the kernel records: Expr, RecField, the optional VType
// annotation, SlotDef, Update, Rule and TransducerDef.
//
// An expression is a map tagged by "op" or an array whose first element is
// the tag. The whole expression is read (buffered) before its fields are
// interpreted, so a syntax error anywhere in it is reported before a fault of
// meaning, and the fault of meaning has the position of the container that
// holds the expression. Where the expression stands in a stream (a guard,
// an emit, an update's expr, a record field), its tag must be a name in JSON;
// inside the buffered tree (every nested expression) and in MessagePack it
// may also be the variant's index.
#pragma once

#include <string_view>
#include <vector>

#include "engine/codec/record.h"
#include "engine/kernel/types.h"
#include "engine/kernel/value_io.h"

namespace vostrel::codec {

Status read_expr(Deserializer& d, kernel::Expr& out);
Status read_vtype_opt(Deserializer& d, std::optional<kernel::VType>& out);

template <>
struct Codec<kernel::Expr> {
  static Status read(Deserializer& d, kernel::Expr& out) { return read_expr(d, out); }
};

template <class T>
struct Codec<kernel::Box<T>> {
  static Status read(Deserializer& d, kernel::Box<T>& out) { return Codec<T>::read(d, *out); }
};

template <>
struct Codec<std::optional<kernel::VType>> {
  static Status read(Deserializer& d, std::optional<kernel::VType>& out) {
    return read_vtype_opt(d, out);
  }
};

template <>
struct Codec<kernel::RecField> : Record<kernel::RecField> {
  static constexpr std::string_view expecting = "struct RecField";
  static constexpr auto fields = std::array{
      field<&kernel::RecField::key>("key"),
      field<&kernel::RecField::val_expr>("val_expr"),
  };
};

template <>
struct Codec<kernel::SlotDef> : Record<kernel::SlotDef> {
  static constexpr std::string_view expecting = "struct SlotDef";
  static constexpr auto fields = std::array{
      field<&kernel::SlotDef::name>("name"),
      field<&kernel::SlotDef::initial>("initial"),
  };
};

template <>
struct Codec<kernel::Update> : Record<kernel::Update> {
  static constexpr std::string_view expecting = "struct Update";
  static constexpr auto fields = std::array{
      field<&kernel::Update::slot>("slot"),
      field<&kernel::Update::expr>("expr"),
  };
};

template <>
struct Codec<kernel::Rule> : Record<kernel::Rule> {
  static constexpr std::string_view expecting = "struct Rule";
  static constexpr auto fields = std::array{
      field<&kernel::Rule::on>("on"),
      field<&kernel::Rule::guard>("guard"),
      field<&kernel::Rule::updates>("updates"),
      field<&kernel::Rule::emits>("emits"),
  };
};

template <>
struct Codec<kernel::TransducerDef> : Record<kernel::TransducerDef> {
  static constexpr std::string_view expecting = "struct TransducerDef";
  static constexpr auto fields = std::array{
      field<&kernel::TransducerDef::name>("name"),
      field<&kernel::TransducerDef::slots>("slots"),
      field<&kernel::TransducerDef::rules>("rules"),
  };
};

}  // namespace vostrel::codec

namespace vostrel::kernel {

// One definition filling a whole JSON text; the message of a failure ends in
// " at line L column C" when it has a position.
Result<TransducerDef> transducer_from_json(std::string_view text);
// A MessagePack array of definitions (bytes after it ignored).
Result<std::vector<TransducerDef>> transducers_from_msgpack(std::string_view bytes);

}  // namespace vostrel::kernel
