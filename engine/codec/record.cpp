#include "engine/codec/record.h"

#include <limits>

namespace vostrel::codec {
namespace {

// Resolves a map key to a field's position (-1: not a field, skipped).
class FieldId final : public Visitor {
 public:
  FieldId(std::span<const FieldEntry> fields, int& out) : fields_(fields), out_(out) {}
  std::string expecting() const override { return "field identifier"; }
  Status visit_u64(std::uint64_t v, int) override {
    out_ = v < fields_.size() ? static_cast<int>(v) : -1;
    return {};
  }
  Status visit_i64(std::int64_t v, int bits) override {
    if (v < 0) return Visitor::visit_i64(v, bits);
    return visit_u64(static_cast<std::uint64_t>(v), bits);
  }
  Status visit_str(std::string_view v) override { return by_name(v); }
  Status visit_bytes(std::string_view v) override { return by_name(v); }

 private:
  Status by_name(std::string_view v) {
    out_ = -1;
    for (std::size_t i = 0; i < fields_.size(); ++i)
      if (fields_[i].name == v) out_ = static_cast<int>(i);
    return {};
  }
  std::span<const FieldEntry> fields_;
  int& out_;
};

class StructVisitor final : public Visitor {
 public:
  StructVisitor(void* record, std::string_view expecting, std::span<const FieldEntry> fields)
      : record_(record), expecting_(expecting), fields_(fields) {}
  std::string expecting() const override { return std::string(expecting_); }

  Status visit_seq(SeqAccess& seq) override {
    bool ended = false;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      const FieldEntry& f = fields_[i];
      if (!ended) {
        auto more = seq.next_element([&](Deserializer& d) { return f.read(d, record_); });
        VOSTREL_TRY(more);
        ended = !*more;
      }
      if (ended && f.missing != Missing::Default)
        return invalid_length(i, with_elements(expecting_, fields_.size()));
    }
    return {};
  }

  Status visit_map(MapAccess& map) override {
    // Field tables are short (six fields at most): one bit each.
    std::uint64_t seen = 0;
    for (;;) {
      int key = -1;
      auto more = map.next_key([&](Deserializer& d) {
        FieldId id(fields_, key);
        return d.identifier(id);
      });
      VOSTREL_TRY(more);
      if (!*more) break;
      if (key < 0) {
        VOSTREL_TRY(map.next_value(ignore));
        continue;
      }
      const FieldEntry& f = fields_[static_cast<std::size_t>(key)];
      const std::uint64_t bit = std::uint64_t{1} << key;
      if (seen & bit) return duplicate_field(f.name);
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return f.read(d, record_); }));
      seen |= bit;
    }
    for (std::size_t i = 0; i < fields_.size(); ++i)
      if (!(seen >> i & 1) && fields_[i].missing == Missing::Required)
        return missing_field(fields_[i].name);
    return {};
  }

 private:
  void* record_;
  std::string_view expecting_;
  std::span<const FieldEntry> fields_;
};

class StringVisitor final : public Visitor {
 public:
  explicit StringVisitor(std::string& out) : out_(out) {}
  std::string expecting() const override { return "a string"; }
  Status visit_str(std::string_view v) override {
    set(v);
    return {};
  }
  Status visit_bytes(std::string_view v) override {
    if (!utf8_valid(v)) return invalid_value(Unexpected::of(Unexpected::Kind::Bytes), expecting());
    set(v);
    return {};
  }

 private:
  // The target is nearly always a fresh string: appending to it skips
  // assign()'s general replace.
  void set(std::string_view v) {
    if (out_.empty())
      out_.append(v);
    else
      out_.assign(v);
  }
  std::string& out_;
};

class UnsignedVisitor final : public Visitor {
 public:
  UnsignedVisitor(std::uint64_t& out, std::string_view name) : out_(out), name_(name) {}
  std::string expecting() const override { return std::string(name_); }
  Status visit_u64(std::uint64_t v, int) override {
    out_ = v;
    return {};
  }
  Status visit_i64(std::int64_t v, int) override {
    if (v < 0) return invalid_value(Unexpected::signed_int(v), name_);
    out_ = static_cast<std::uint64_t>(v);
    return {};
  }

 private:
  std::uint64_t& out_;
  std::string_view name_;
};

class SignedVisitor final : public Visitor {
 public:
  explicit SignedVisitor(std::int64_t& out) : out_(out) {}
  std::string expecting() const override { return "i64"; }
  Status visit_u64(std::uint64_t v, int) override {
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return invalid_value(Unexpected::unsigned_int(v), "i64");
    out_ = static_cast<std::int64_t>(v);
    return {};
  }
  Status visit_i64(std::int64_t v, int) override {
    out_ = v;
    return {};
  }

 private:
  std::int64_t& out_;
};

class BoolVisitor final : public Visitor {
 public:
  explicit BoolVisitor(bool& out) : out_(out) {}
  std::string expecting() const override { return "a boolean"; }
  Status visit_bool(bool v) override {
    out_ = v;
    return {};
  }

 private:
  bool& out_;
};

class SeqVisitor final : public Visitor {
 public:
  SeqVisitor(FnRef<Status(Deserializer&)> element, FnRef<void(std::size_t)> reserve)
      : element_(element), reserve_(reserve) {}
  std::string expecting() const override { return "a sequence"; }
  Status visit_seq(SeqAccess& seq) override {
    if (std::size_t n = seq.size_hint()) reserve_(n);
    for (;;) {
      auto more = seq.next_element(element_);
      VOSTREL_TRY(more);
      if (!*more) return {};
    }
  }

 private:
  FnRef<Status(Deserializer&)> element_;
  FnRef<void(std::size_t)> reserve_;
};

class StringMapVisitor final : public Visitor {
 public:
  explicit StringMapVisitor(FnRef<Status(std::string&&, Deserializer&)> entry) : entry_(entry) {}
  std::string expecting() const override { return "a map"; }
  Status visit_map(MapAccess& map) override {
    for (;;) {
      std::string key;
      auto more = map.next_key([&](Deserializer& d) { return read_string(d, key); });
      VOSTREL_TRY(more);
      if (!*more) return {};
      VOSTREL_TRY(map.next_value([&](Deserializer& d) { return entry_(std::move(key), d); }));
    }
  }

 private:
  FnRef<Status(std::string&&, Deserializer&)> entry_;
};

}  // namespace

Status read_struct(Deserializer& d, void* record, std::string_view expecting,
                   std::span<const FieldEntry> fields) {
  StructVisitor v(record, expecting, fields);
  return d.structure(v);
}

namespace detail {

std::unexpected<Error> variant_index_out_of_range(std::uint64_t v, std::size_t count) {
  return invalid_value(Unexpected::unsigned_int(v), "variant index 0 <= i < " + std::to_string(count));
}

std::unexpected<Error> unknown_variant_bytes(std::string_view v,
                                             std::span<const std::string_view> names) {
  return unknown_variant(utf8_lossy(v), names);
}

}  // namespace detail

Status read_string(Deserializer& d, std::string& out) {
  StringVisitor v(out);
  return d.string(v);
}

Status read_u64(Deserializer& d, std::uint64_t& out) {
  UnsignedVisitor v(out, "u64");
  return d.u64(v);
}

Status read_usize(Deserializer& d, std::uint64_t& out) {
  UnsignedVisitor v(out, "usize");
  return d.u64(v);
}

Status read_usize_list(Deserializer& d, std::vector<std::uint64_t>& out) {
  return read_seq(d, [&](Deserializer& e) -> Status {
    std::uint64_t n = 0;
    VOSTREL_TRY(read_usize(e, n));
    out.push_back(n);
    return {};
  });
}

Status read_i64(Deserializer& d, std::int64_t& out) {
  SignedVisitor v(out);
  return d.i64(v);
}

Status read_bool(Deserializer& d, bool& out) {
  BoolVisitor v(out);
  return d.boolean(v);
}

Status read_seq(Deserializer& d, FnRef<Status(Deserializer&)> element,
                FnRef<void(std::size_t)> reserve) {
  SeqVisitor v(element, reserve);
  return d.seq(v);
}

Status read_string_map(Deserializer& d, FnRef<Status(std::string&&, Deserializer&)> entry) {
  StringMapVisitor v(entry);
  return d.map(v);
}

}  // namespace vostrel::codec
