// Runs the shared reader reference cases of session definitions and of the
// routing-derivation inputs through their readers and compares the outcome
// exactly: the error text with its position, or the canonical JSON of what
// was read.
#include <gtest/gtest.h>

#include <utility>

#include "engine/kernel/value_io.h"
#include "engine/routing_inputs.h"
#include "engine/session_def.h"
#include "engine/tests/vectors.h"

namespace vostrel {
namespace {

// The canonical JSON of the reference cases: compact, members in
// declaration order. There is no writer of these records in the engine.
class Canonical {
 public:
  Canonical& open() { return raw("{"); }
  Canonical& close() { return raw("}"); }
  Canonical& key(std::string_view name) {
    comma();
    kernel::write_json_string(name, out_);
    out_ += ':';
    fresh_ = true;
    return *this;
  }
  Canonical& str(std::string_view s) {
    comma();
    kernel::write_json_string(s, out_);
    return *this;
  }
  template <class T, class F>
  Canonical& list(const std::vector<T>& items, F&& each) {
    raw("[");
    for (const T& item : items) each(*this, item);
    return raw("]");
  }
  Canonical& fields(std::initializer_list<std::pair<std::string_view, std::string_view>> kv) {
    open();
    for (const auto& [k, v] : kv) key(k).str(v);
    return close();
  }
  std::string take() { return std::move(out_); }

 private:
  Canonical& raw(std::string_view s) {
    if (s == "{" || s == "[") {
      comma();
      fresh_ = true;
    } else {
      fresh_ = false;
    }
    out_ += s;
    return *this;
  }
  void comma() {
    if (!fresh_ && !out_.empty()) out_ += ',';
    fresh_ = false;
  }

  std::string out_;
  bool fresh_ = true;
};

void write_connection(Canonical& w, const session_def::ConnectionSpec& c) {
  w.open().key("source_id").str(c.source_id);
  w.key("pairs").list(c.pairs, [](Canonical& w, const session_def::SourcePairDef& p) {
    w.fields({{"request_type", p.request_type}, {"result_type", p.result_type}});
  });
  w.key("checks").list(c.checks, [](Canonical& w, const session_def::CheckDef& k) {
    w.fields({{"intercept", k.intercept}, {"direction", k.direction},
              {"check_source", k.check_source}});
  });
  w.close();
}

std::string canonical(const session_def::ConnectionSpec& c) {
  Canonical w;
  write_connection(w, c);
  return w.take();
}

std::string canonical(const session_def::SessionDef& def) {
  Canonical w;
  w.open().key("name").str(def.name);
  w.key("transducers").list(def.transducers, [](Canonical& w, const std::string& s) { w.str(s); });
  w.key("connections").list(def.connections, write_connection);
  w.key("config").open();
  for (const auto& [k, v] : def.config) w.key(k).str(v);
  w.close().close();
  return w.take();
}

std::string canonical(const std::vector<agent_fold::SourceRegistration>& sources) {
  Canonical w;
  w.list(sources, [](Canonical& w, const agent_fold::SourceRegistration& s) {
    w.open().key("source_id").str(s.source_id);
    w.key("pairs").list(s.pairs, [](Canonical& w, const agent_fold::SourcePair& p) {
      w.fields({{"request_type", p.request_type}, {"result_type", p.result_type}});
    });
    w.close();
  });
  return w.take();
}

std::string canonical(const std::vector<agent_fold::OutboundCheckDef>& checks) {
  Canonical w;
  w.list(checks, [](Canonical& w, const agent_fold::OutboundCheckDef& c) {
    w.fields({{"request_type", c.request_type}, {"check_source", c.check_source}});
  });
  return w.take();
}

std::string canonical(const std::vector<agent_fold::ResultCheckDef>& checks) {
  Canonical w;
  w.list(checks, [](Canonical& w, const agent_fold::ResultCheckDef& c) {
    w.fields({{"result_type", c.result_type}, {"check_source", c.check_source}});
  });
  return w.take();
}

template <class T>
std::string outcome_of(const Result<T>& read) {
  return read ? "OK " + canonical(*read) : "ERR " + read.error();
}

std::string outcome(const testing::VectorCase& c) {
  if (c.format != "json") return "unsupported format";
  if (c.kind == "session_def") return outcome_of(session_def::from_json(c.input));
  if (c.kind == "connection") return outcome_of(codec::from_json<session_def::ConnectionSpec>(c.input));
  if (c.kind == "sources") return outcome_of(routing_inputs::sources_from_json(c.input));
  if (c.kind == "outbound_checks_input") {
    return outcome_of(routing_inputs::outbound_checks_from_json(c.input));
  }
  if (c.kind == "inbound_checks_input") {
    return outcome_of(routing_inputs::inbound_checks_from_json(c.input));
  }
  return "unsupported kind";
}

TEST(VectorsSessionDef, EveryCaseOfTheDefinitionAndInputKindsAgrees) {
  testing::expect_every_case_agrees({"session_def", "connection", "sources",
                                     "outbound_checks_input", "inbound_checks_input"},
                                    outcome);
}

}  // namespace
}  // namespace vostrel
