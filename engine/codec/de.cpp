#include "engine/codec/de.h"

namespace vostrel::codec {

using K = Unexpected::Kind;

Status Visitor::visit_bool(bool v) { return refuse(Unexpected::boolean(v)); }
Status Visitor::visit_u64(std::uint64_t v, int) { return refuse(Unexpected::unsigned_int(v)); }
Status Visitor::visit_i64(std::int64_t v, int) { return refuse(Unexpected::signed_int(v)); }
Status Visitor::visit_f64(double v, int) { return refuse(Unexpected::floating(v)); }
Status Visitor::visit_str(std::string_view v) { return refuse(Unexpected::str(v)); }
Status Visitor::visit_bytes(std::string_view) { return refuse(Unexpected::of(K::Bytes)); }
Status Visitor::visit_unit() { return refuse(Unexpected::of(K::Unit)); }
Status Visitor::visit_none() { return refuse(Unexpected::of(K::Option)); }
Status Visitor::visit_some(Deserializer&) { return refuse(Unexpected::of(K::Option)); }
Status Visitor::visit_newtype(Deserializer&) { return refuse(Unexpected::of(K::NewtypeStruct)); }
Status Visitor::visit_seq(SeqAccess&) { return refuse(Unexpected::of(K::Seq)); }
Status Visitor::visit_map(MapAccess&) { return refuse(Unexpected::of(K::Map)); }
Status Visitor::visit_enum(EnumAccess&) { return refuse(Unexpected::of(K::Enum)); }

Status IgnoredAny::visit_seq(SeqAccess& seq) {
  for (;;) {
    auto more = seq.next_element(ignore);
    VOSTREL_TRY(more);
    if (!*more) return {};
  }
}

Status IgnoredAny::visit_map(MapAccess& map) {
  for (;;) {
    auto more = map.next_key(ignore);
    VOSTREL_TRY(more);
    if (!*more) return {};
    VOSTREL_TRY(map.next_value(ignore));
  }
}

}  // namespace vostrel::codec
