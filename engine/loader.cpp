#include "engine/loader.h"

#include <map>
#include <string_view>

#include "engine/kernel/debug_quote.h"

namespace vostrel::loader {

std::vector<LoadError> validate_transducer(const kernel::TransducerDef& t) {
  std::vector<LoadError> problems;
  if (t.rules.empty()) problems.push_back(EmptyTransducer{t.name});
  const auto declared = [&t](std::string_view slot) {
    for (const kernel::SlotDef& s : t.slots) {
      if (s.name == slot) return true;
    }
    return false;
  };
  for (const kernel::Rule& rule : t.rules) {
    for (const kernel::Update& u : rule.updates) {
      if (!declared(u.slot)) problems.push_back(UndeclaredSlot{t.name, rule.on, u.slot});
    }
  }
  return problems;
}

std::vector<LoadError> validate_session(const std::vector<kernel::TransducerDef>& ts) {
  std::vector<LoadError> problems;
  for (const kernel::TransducerDef& t : ts) {
    for (LoadError& p : validate_transducer(t)) problems.push_back(std::move(p));
  }
  // Slot name -> the transducer that declared it first.
  std::map<std::string_view, std::string_view> first_declarer;
  for (const kernel::TransducerDef& t : ts) {
    for (const kernel::SlotDef& s : t.slots) {
      auto [it, fresh] = first_declarer.try_emplace(s.name, t.name);
      if (!fresh) {
        problems.push_back(SlotConflict{s.name, std::string(it->second), t.name});
      }
    }
  }
  return problems;
}

kernel::Env init_env(const std::vector<kernel::TransducerDef>& ts) {
  kernel::Env env;
  for (const kernel::TransducerDef& t : ts) {
    for (const kernel::SlotDef& s : t.slots) env.insert_or_assign(s.name, s.initial);
  }
  return env;
}

namespace {

std::string slot_conflict_debug(const SlotConflict& c) {
  return kernel::DebugStruct("SlotConflict")
      .field("slot", c.slot)
      .field("transducer_a", c.transducer_a)
      .field("transducer_b", c.transducer_b)
      .finish();
}

struct DebugWriter {
  std::string operator()(const SlotConflict& c) const { return slot_conflict_debug(c); }
  std::string operator()(const UndeclaredSlot& u) const {
    return kernel::DebugStruct("UndeclaredSlot")
        .field("transducer", u.transducer)
        .field("rule_on", u.rule_on)
        .field("slot", u.slot)
        .finish();
  }
  std::string operator()(const EmptyTransducer& e) const {
    return kernel::DebugStruct("EmptyTransducer").field("transducer", e.transducer).finish();
  }
  std::string operator()(const MacroExpansion& m) const {
    return kernel::DebugStruct("MacroExpansion")
        .field("transducer", m.transducer)
        .field_raw("error", kernel::expand::debug_string(m.error))
        .finish();
  }
  std::string operator()(const MergeConflict& m) const {
    return "MergeConflict(" + slot_conflict_debug(m.conflict) + ")";
  }
};

}  // namespace

std::string debug_string(const LoadError& error) { return std::visit(DebugWriter{}, error); }

}  // namespace vostrel::loader
