// Reads documents with the system's readers and answers in the reference
// codec's batch format, so that tools/differential.py can compare the two.
//
// stdin: one case a line, {"id":..., "op":"read"|"write", "kind":...,
// "format":"json"|"msgpack", "input_b64":...}. stdout: one line a case,
// {"id":..., "ok":true|false, "text":...}: on success the canonical JSON of
// what was read (the system's own writer where it has one), or for "write"
// the form written (MessagePack as lowercase hex); on failure the reader's
// message. A kind the driver does not know gives {"id":..., "ok":null,
// "unsupported":true}.
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "engine/codec/record.h"
#include "engine/kernel/types_io.h"
#include "engine/kernel/value_io.h"
#include "engine/kernel/routing.h"
#include "engine/routing_inputs.h"
#include "engine/session.h"
#include "engine/session_def.h"

namespace {

using namespace vostrel;
using codec::Deserializer;
using codec::Status;

struct Case {
  std::string id, op, kind, format, input_b64;
};

}  // namespace

template <>
struct vostrel::codec::Codec<Case> : Record<Case> {
  static constexpr std::string_view expecting = "struct Case";
  static constexpr auto fields = std::array{
      field<&Case::id>("id"),
      field<&Case::op>("op", kDefault),
      field<&Case::kind>("kind"),
      field<&Case::format>("format", kDefault),
      field<&Case::input_b64>("input_b64"),
  };
};

namespace {

std::string unbase64(std::string_view in) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = val(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return out;
}

std::string hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// --- canonical JSON of the records without a writer of their own ----------

class Canon {
 public:
  std::string out;

  void str(std::string_view s) { kernel::write_json_string(s, out); }
  void raw(std::string_view s) { out += s; }
  void key(std::string_view k) {
    if (!out.empty() && out.back() != '{') out += ',';
    str(k);
    out += ':';
  }
  template <class T, class F>
  void list(const std::vector<T>& items, F each) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (i) out += ',';
      each(items[i]);
    }
    out += ']';
  }

  void value(const kernel::Value& v) { kernel::write_json(v, out); }
  void vtype(const std::optional<kernel::VType>& t) {
    static constexpr std::string_view names[] = {"TStr", "TInt", "TBool", "TList", "TMap"};
    if (t) str(names[static_cast<int>(*t)]);
    else raw("null");
  }
  void expr(const kernel::Expr& e) {
    out += '{';
    key("op");
    str(kernel::kExprVariantNames[e.node.index()]);
    std::visit([this](const auto& n) { fields(n); }, e.node);
    out += '}';
  }
  void sub(std::string_view k, const kernel::Box<kernel::Expr>& e) {
    key(k);
    expr(*e);
  }
  void rec_field(const kernel::RecField& f) {
    out += '{';
    key("key");
    str(f.key);
    sub("val_expr", f.val_expr);
    out += '}';
  }
  void fields(const kernel::expr::Lit& n) { key("value"); value(n.value); }
  void fields(const kernel::expr::Ref& n) { key("name"); str(n.name); }
  template <class N>
    requires requires(N n) { n.left; n.right; }
  void fields(const N& n) { sub("left", n.left); sub("right", n.right); }
  void fields(const kernel::expr::LAppend& n) { sub("list", n.list); sub("item", n.item); }
  void fields(const kernel::expr::MPut& n) { sub("map", n.map); sub("key", n.key); sub("value", n.value); }
  void fields(const kernel::expr::MGet& n) {
    sub("map", n.map);
    sub("key", n.key);
    key("type_ann");
    vtype(n.type_ann);
  }
  void fields(const kernel::expr::MDel& n) { sub("map", n.map); sub("key", n.key); }
  void fields(const kernel::expr::MKeys& n) { sub("map", n.map); }
  void fields(const kernel::expr::Rec& n) {
    key("fields");
    list(n.fields, [this](const kernel::RecField& f) { rec_field(f); });
  }
  void fields(const kernel::expr::ELet& n) {
    key("name");
    str(n.name);
    sub("value", n.value);
    sub("body", n.body);
  }
  void fields(const kernel::expr::IfElse& n) {
    sub("cond", n.cond);
    sub("then_expr", n.then_expr);
    sub("else_expr", n.else_expr);
  }
  void fields(const kernel::expr::LFold& n) {
    sub("list", n.list);
    sub("init", n.init);
    key("acc_var");
    str(n.acc_var);
    key("item_var");
    str(n.item_var);
    sub("body", n.body);
    key("item_type_ann");
    vtype(n.item_type_ann);
  }
  void fields(const kernel::expr::Macro& n) {
    key("name");
    str(n.name);
    key("args");
    list(n.args, [this](const kernel::Expr& e) { expr(e); });
  }

  void slot(const kernel::SlotDef& s) {
    out += '{';
    key("name");
    str(s.name);
    key("initial");
    value(s.initial);
    out += '}';
  }
  void update(const kernel::Update& u) {
    out += '{';
    key("slot");
    str(u.slot);
    key("expr");
    expr(u.expr);
    out += '}';
  }
  void rule(const kernel::Rule& r) {
    out += '{';
    key("on");
    str(r.on);
    key("guard");
    expr(r.guard);
    key("updates");
    list(r.updates, [this](const kernel::Update& u) { update(u); });
    key("emits");
    list(r.emits, [this](const kernel::Expr& e) { expr(e); });
    out += '}';
  }
  // An object of string members, in the order given.
  void strings(std::initializer_list<std::pair<std::string_view, const std::string*>> members) {
    out += '{';
    for (const auto& [k, v] : members) {
      key(k);
      str(*v);
    }
    out += '}';
  }
  void session_def(const session_def::SessionDef& d) {
    out += '{';
    key("name");
    str(d.name);
    key("transducers");
    list(d.transducers, [this](const std::string& t) { str(t); });
    key("connections");
    list(d.connections, [this](const session_def::ConnectionSpec& c) {
      out += '{';
      key("source_id");
      str(c.source_id);
      key("pairs");
      list(c.pairs, [this](const session_def::SourcePairDef& p) {
        strings({{"request_type", &p.request_type}, {"result_type", &p.result_type}});
      });
      key("checks");
      list(c.checks, [this](const session_def::CheckDef& k) {
        strings({{"intercept", &k.intercept}, {"direction", &k.direction},
                 {"check_source", &k.check_source}});
      });
      out += '}';
    });
    key("config");
    out += '{';
    for (const auto& [k, v] : d.config) {
      key(k);
      str(v);
    }
    out += "}}";
  }
  void transducer(const kernel::TransducerDef& t) {
    out += '{';
    key("name");
    str(t.name);
    key("slots");
    list(t.slots, [this](const kernel::SlotDef& s) { slot(s); });
    key("rules");
    list(t.rules, [this](const kernel::Rule& r) { rule(r); });
    out += '}';
  }
};

template <class T, class Print>
std::string canon(const T& v, Print print) {
  Canon c;
  print(c, v);
  return c.out;
}

struct Answer {
  std::optional<bool> ok;  // none: unsupported
  std::string text;
};

// Reads one T from the whole document in its format.
template <class T>
std::expected<T, std::string> read(const Case& c, const std::string& doc) {
  T out{};
  auto seed = [&](Deserializer& d) { return codec::Codec<T>::read(d, out); };
  Status st = c.format == "msgpack" ? codec::read_msgpack(doc, seed) : codec::read_json(doc, seed);
  if (!st) return std::unexpected(st.error().text());
  return out;
}

template <class T, class Print>
Answer read_answer(const Case& c, const std::string& doc, Print print) {
  auto r = read<T>(c, doc);
  if (!r) return {false, r.error()};
  return {true, canon(*r, print)};
}

// A whole-document JSON reader of the system's own.
template <class Read, class Print>
Answer json_answer(const Case& c, const std::string& doc, Read read_doc, Print print) {
  if (c.format != "json") return {std::nullopt, {}};
  auto r = read_doc(doc);
  if (!r) return {false, r.error()};
  return {true, canon(*r, print)};
}

// "write": the JSON form read, then written by the system's writer.
template <class T, class Json, class Msgpack>
Answer write_answer(const Case& c, const std::string& doc, Json json, Msgpack msgpack) {
  Case as_json = c;
  as_json.format = "json";
  auto r = read<T>(as_json, doc);
  if (!r) return {false, r.error()};
  return {true, c.format == "msgpack" ? hex(msgpack(*r)) : json(*r)};
}

Answer answer(const Case& c) {
  const std::string doc = unbase64(c.input_b64);
  const bool write = c.op == "write";
  using namespace kernel;
  auto value_json = [](Canon& o, const Value& v) { o.value(v); };
  auto env_json = [](Canon& o, const Env& e) { write_json(e, o.out); };
  if (c.kind == "value") {
    if (write)
      return write_answer<Value>(c, doc, [](const Value& v) { return *to_json(v); },
                                 [](const Value& v) { return *to_msgpack(v); });
    return read_answer<Value>(c, doc, value_json);
  }
  if (c.kind == "env") {
    if (write)
      return write_answer<Env>(c, doc, [](const Env& e) { return *to_json(e); },
                               [](const Env& e) { return *to_msgpack(e); });
    return read_answer<Env>(c, doc, env_json);
  }
  if (c.kind == "snapshot") {
    using session::Snapshot;
    auto from_json = [](std::string_view t) { return session::snapshot_from_json(t); };
    if (write) {
      auto r = from_json(doc);
      if (!r) return {false, r.error()};
      return {true, c.format == "msgpack" ? hex(*session::snapshot_to_msgpack(*r))
                                          : *session::snapshot_to_json(*r)};
    }
    auto r = c.format == "msgpack" ? session::snapshot_from_msgpack(doc) : from_json(doc);
    if (!r) return {false, r.error()};
    return {true, *session::snapshot_to_json(*r)};
  }
  if (write) return {std::nullopt, {}};
  if (c.kind == "routing")
    return json_answer(c, doc, kernel::routing_from_json,
                       [](Canon& o, const RoutingConfig& r) { kernel::write_routing_json(r, o.out); });
  if (c.kind == "inbound_checks")
    return json_answer(c, doc, kernel::inbound_checks_from_json,
                       [](Canon& o, const std::vector<InboundCheckDef>& k) {
                         kernel::write_inbound_checks_json(k, o.out);
                       });
  if (c.kind == "expr") return read_answer<Expr>(c, doc, [](Canon& o, const Expr& e) { o.expr(e); });
  if (c.kind == "rec_field")
    return read_answer<RecField>(c, doc, [](Canon& o, const RecField& f) { o.rec_field(f); });
  if (c.kind == "vtype")
    return read_answer<std::optional<VType>>(
        c, doc, [](Canon& o, const std::optional<VType>& t) { o.vtype(t); });
  if (c.kind == "slot") return read_answer<SlotDef>(c, doc, [](Canon& o, const SlotDef& s) { o.slot(s); });
  if (c.kind == "update") return read_answer<Update>(c, doc, [](Canon& o, const Update& u) { o.update(u); });
  if (c.kind == "rule") return read_answer<Rule>(c, doc, [](Canon& o, const Rule& r) { o.rule(r); });
  if (c.kind == "transducer")
    return read_answer<TransducerDef>(c, doc,
                                      [](Canon& o, const TransducerDef& t) { o.transducer(t); });
  if (c.kind == "transducers")
    return read_answer<std::vector<TransducerDef>>(
        c, doc, [](Canon& o, const std::vector<TransducerDef>& ts) {
          o.list(ts, [&](const TransducerDef& t) { o.transducer(t); });
        });
  if (c.kind == "session_def")
    return json_answer(c, doc, session_def::from_json,
                       [](Canon& o, const session_def::SessionDef& d) { o.session_def(d); });
  if (c.kind == "sources")
    return json_answer(c, doc, routing_inputs::sources_from_json,
                       [](Canon& o, const std::vector<agent_fold::SourceRegistration>& rs) {
                         o.list(rs, [&](const agent_fold::SourceRegistration& r) {
                           o.out += '{';
                           o.key("source_id");
                           o.str(r.source_id);
                           o.key("pairs");
                           o.list(r.pairs, [&](const agent_fold::SourcePair& p) {
                             o.strings({{"request_type", &p.request_type},
                                        {"result_type", &p.result_type}});
                           });
                           o.out += '}';
                         });
                       });
  if (c.kind == "outbound_checks_input")
    return json_answer(c, doc, routing_inputs::outbound_checks_from_json,
                       [](Canon& o, const std::vector<agent_fold::OutboundCheckDef>& ks) {
                         o.list(ks, [&](const agent_fold::OutboundCheckDef& k) {
                           o.strings({{"request_type", &k.request_type},
                                      {"check_source", &k.check_source}});
                         });
                       });
  if (c.kind == "inbound_checks_input")
    return json_answer(c, doc, routing_inputs::inbound_checks_from_json,
                       [](Canon& o, const std::vector<agent_fold::ResultCheckDef>& ks) {
                         o.list(ks, [&](const agent_fold::ResultCheckDef& k) {
                           o.strings({{"result_type", &k.result_type},
                                      {"check_source", &k.check_source}});
                         });
                       });
  return {std::nullopt, {}};
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line, out;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    out.clear();
    auto c = codec::from_json<Case>(line);
    if (!c) {
      out = "{\"ok\":null,\"usage_error\":";
      kernel::write_json_string(c.error(), out);
      out += "}\n";
    } else {
      Answer a = answer(*c);
      out = "{\"id\":";
      kernel::write_json_string(c->id, out);
      if (!a.ok) {
        out += ",\"ok\":null,\"unsupported\":true}\n";
      } else {
        out += *a.ok ? ",\"ok\":true,\"text\":" : ",\"ok\":false,\"text\":";
        kernel::write_json_string(a.text, out);
        out += "}\n";
      }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  return 0;
}
