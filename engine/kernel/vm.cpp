#include "engine/kernel/vm.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>

namespace vostrel::kernel::vm {
namespace {

constexpr std::size_t kNoLocal = std::numeric_limits<std::size_t>::max();

const Value kNoneValue;

struct Binding {
  std::string_view name;
  Value value;
};

// What an evaluation sees: let/fold bindings (innermost last) over the
// event's fields over the slots. Equivalent to binding each into a copy of
// the environment, without the copies.
struct Scope {
  const Env* slots = nullptr;
  const Env* fields = nullptr;
  // The slot that the update being evaluated overwrites: its old value dies
  // with the update, so its last use may take it instead of sharing it.
  Value* dying_slot = nullptr;
  std::vector<Binding> locals;
  // The log of a computation that must be able to go back, and the kept
  // value of the slot being updated: writes to the updated value go through
  // the log, which decides whether they may be made in place (see UndoLog).
  UndoLog* undo = nullptr;
  Value* kept_slot = nullptr;
};

void push_item(Scope& s, Value& list, Value item) {
  if (s.kept_slot != nullptr) {
    s.undo->push_back(list, *s.kept_slot, std::move(item));
  } else {
    list.list_mut().push_back(std::move(item));
  }
}

void put_entry(Scope& s, Value& map, const std::string& key, Value value) {
  if (s.kept_slot != nullptr) {
    s.undo->insert_or_assign(map, *s.kept_slot, key, std::move(value));
  } else {
    map.map_mut().insert_or_assign(key, std::move(value));
  }
}

void erase_entry(Scope& s, Value& map, const std::string& key) {
  if (s.kept_slot != nullptr) {
    s.undo->erase(map, *s.kept_slot, key);
  } else {
    map.map_mut().erase(key);
  }
}

// Which names die when the expression being evaluated is done: the bindings
// at index `locals_from` and above, and the dying slot when `slot` is set.
// A name lookup evaluated last within their lifetime may move the value out
// instead of sharing it, so that a list or map held by one name can grow in
// place (an accumulator of a fold, a history slot of an update).
struct Tail {
  std::size_t locals_from = kNoLocal;
  bool slot = false;

  bool can_move() const { return locals_from != kNoLocal || slot; }
};

constexpr Tail kKeep{};

struct Found {
  const Value* value = nullptr;  // null: not bound
  std::size_t local = kNoLocal;
  bool is_dying_slot = false;
};

Found resolve(const Scope& s, std::string_view name) {
  for (std::size_t i = s.locals.size(); i-- > 0;) {
    if (s.locals[i].name == name) return {&s.locals[i].value, i, false};
  }
  if (s.fields != nullptr) {
    if (auto it = s.fields->find(name); it != s.fields->end()) return {&it->second};
  }
  if (auto it = s.slots->find(name); it != s.slots->end()) {
    return {&it->second, kNoLocal, &it->second == s.dying_slot};
  }
  return {};
}

// The value of a name: moved out when the name dies with this evaluation,
// otherwise shared.
Value take(Scope& s, const Found& f, Tail t) {
  if (f.value == nullptr) return Value::none();
  if (f.local != kNoLocal && f.local >= t.locals_from) return std::move(s.locals[f.local].value);
  if (f.is_dying_slot && t.slot) return std::move(*s.dying_slot);
  return *f.value;
}

bool annotation_matches(const std::optional<VType>& ann, const Value& v) {
  return !ann || static_cast<int>(*ann) == static_cast<int>(v.kind());
}

// The value that `e` evaluates to, without evaluating it, for the forms that
// only look things up (literals, names, map lookups of those); null for every
// other form. Lets an operator check the kind of an operand that it will take
// later, so that it can evaluate its other operands first.
const Value* peek(const Scope& s, const Expr& e) {
  if (const auto* lit = std::get_if<expr::Lit>(&e.node)) return &lit->value;
  if (const auto* ref = std::get_if<expr::Ref>(&e.node)) {
    const Found f = resolve(s, ref->name);
    return f.value != nullptr ? f.value : &kNoneValue;
  }
  if (const auto* get = std::get_if<expr::MGet>(&e.node)) {
    const Value* map = peek(s, *get->map);
    const Value* key = map != nullptr ? peek(s, *get->key) : nullptr;
    if (key == nullptr) return nullptr;
    if (!map->is_map() || !key->is_str()) return &kNoneValue;
    auto it = map->as_map().find(key->as_str());
    if (it == map->as_map().end() || !annotation_matches(get->type_ann, it->second)) {
      return &kNoneValue;
    }
    return &it->second;
  }
  return nullptr;
}

std::int64_t wrapping_add(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

constexpr std::int64_t kMinInt = std::numeric_limits<std::int64_t>::min();

Value eval_in(Scope& s, const Expr& e, Tail t);

struct Evaluator {
  Scope& s;
  Tail t;

  Value ev(const Expr& e, Tail tail) const { return eval_in(s, e, tail); }

  Value operator()(const expr::Lit& n) const { return n.value; }

  Value operator()(const expr::Ref& n) const { return take(s, resolve(s, n.name), t); }

  template <class F>
  Value int_op(const Box<Expr>& left, const Box<Expr>& right, F f) const {
    Value l = ev(*left, kKeep);
    Value r = ev(*right, t);
    if (!l.is_int() || !r.is_int()) return Value::none();
    return f(l.as_int(), r.as_int());
  }

  Value operator()(const expr::Add& n) const {
    return int_op(n.left, n.right,
                  [](std::int64_t a, std::int64_t b) { return Value::integer(wrapping_add(a, b)); });
  }

  Value operator()(const expr::Mul& n) const {
    return int_op(n.left, n.right,
                  [](std::int64_t a, std::int64_t b) { return Value::integer(wrapping_mul(a, b)); });
  }

  Value operator()(const expr::Div& n) const {
    return int_op(n.left, n.right, [](std::int64_t a, std::int64_t b) {
      if (b == 0) return Value::none();
      if (a == kMinInt && b == -1) return Value::integer(kMinInt);
      return Value::integer(a / b);
    });
  }

  Value operator()(const expr::Mod& n) const {
    return int_op(n.left, n.right, [](std::int64_t a, std::int64_t b) {
      if (b == 0) return Value::none();
      if (b == -1) return Value::integer(0);
      return Value::integer(a % b);
    });
  }

  Value operator()(const expr::Gt& n) const {
    return int_op(n.left, n.right,
                  [](std::int64_t a, std::int64_t b) { return Value::boolean(a > b); });
  }

  Value operator()(const expr::Eq& n) const {
    Value l = ev(*n.left, kKeep);
    Value r = ev(*n.right, t);
    return Value::boolean(l == r);
  }

  Value operator()(const expr::LAppend& n) const {
    if (t.can_move()) {
      // Take the list last, once the item is built, so that a list held by
      // a dying name is extended in place.
      if (const Value* list = peek(s, *n.list)) {
        if (!list->is_list()) return Value::none();
        Value item = ev(*n.item, kKeep);
        Value l = ev(*n.list, t);
        push_item(s, l, std::move(item));
        return l;
      }
    }
    Value l = ev(*n.list, kKeep);
    if (!l.is_list()) return Value::none();
    Value item = ev(*n.item, t);
    push_item(s, l, std::move(item));
    return l;
  }

  Value operator()(const expr::MPut& n) const {
    if (t.can_move()) {
      if (const Value* map = peek(s, *n.map)) {
        if (!map->is_map()) return Value::none();
        Value key = ev(*n.key, kKeep);
        if (!key.is_str()) return Value::none();
        Value value = ev(*n.value, kKeep);
        Value m = ev(*n.map, t);
        put_entry(s, m, key.as_str(), std::move(value));
        return m;
      }
    }
    Value m = ev(*n.map, kKeep);
    Value key = ev(*n.key, kKeep);
    if (!m.is_map() || !key.is_str()) return Value::none();
    Value value = ev(*n.value, t);
    put_entry(s, m, key.as_str(), std::move(value));
    return m;
  }

  // Both operands are always evaluated; when the map can be taken, it is
  // taken last.
  std::pair<Value, Value> map_and_key(const Box<Expr>& map, const Box<Expr>& key) const {
    if (t.can_move()) {
      Value k = ev(*key, kKeep);
      Value m = ev(*map, t);
      return {std::move(m), std::move(k)};
    }
    Value m = ev(*map, kKeep);
    Value k = ev(*key, t);
    return {std::move(m), std::move(k)};
  }

  Value operator()(const expr::MGet& n) const {
    auto [m, k] = map_and_key(n.map, n.key);
    if (!m.is_map() || !k.is_str()) return Value::none();
    auto it = m.as_map().find(k.as_str());
    if (it == m.as_map().end() || !annotation_matches(n.type_ann, it->second)) {
      return Value::none();
    }
    // Shared with `m`, which dies here: a map taken from a dying name leaves
    // the entry uniquely owned.
    return it->second;
  }

  Value operator()(const expr::MDel& n) const {
    auto [m, k] = map_and_key(n.map, n.key);
    if (!m.is_map() || !k.is_str()) return Value::none();
    if (m.as_map().find(k.as_str()) != m.as_map().end()) erase_entry(s, m, k.as_str());
    return std::move(m);
  }

  Value operator()(const expr::MKeys& n) const {
    Value m = ev(*n.map, t);
    if (!m.is_map()) return Value::none();
    List keys;
    keys.reserve(m.as_map().size());
    for (const auto& entry : m.as_map()) keys.push_back(Value::str(entry.first));
    return Value::list(std::move(keys));
  }

  Value operator()(const expr::Rec& n) const {
    Map fields;
    for (std::size_t i = 0; i < n.fields.size(); ++i) {
      const RecField& f = n.fields[i];
      Value v = ev(*f.val_expr, i + 1 == n.fields.size() ? t : kKeep);
      fields.insert_or_assign(f.key, std::move(v));
    }
    return Value::map(std::move(fields));
  }

  Value operator()(const expr::ELet& n) const {
    Value v = ev(*n.value, kKeep);
    s.locals.push_back({n.name, std::move(v)});
    const std::size_t index = s.locals.size() - 1;
    Value r = ev(*n.body, Tail{std::min(t.locals_from, index), t.slot});
    s.locals.pop_back();
    return r;
  }

  Value operator()(const expr::IfElse& n) const {
    Value c = ev(*n.cond, kKeep);
    if (!c.is_bool()) return Value::none();
    return ev(c.as_bool() ? *n.then_expr : *n.else_expr, t);
  }

  Value operator()(const expr::LFold& n) const {
    Value list = ev(*n.list, kKeep);
    if (!list.is_list()) return Value::none();
    Value acc = ev(*n.init, kKeep);
    const std::size_t acc_index = s.locals.size();
    // The two bindings of one element die with the body, so the body may
    // take the accumulator and extend it in place.
    const Tail body_tail{acc_index, false};
    for (const Value& item : list.as_list()) {
      s.locals.push_back({n.acc_var, std::move(acc)});
      s.locals.push_back({n.item_var, item});
      acc = ev(*n.body, body_tail);
      s.locals.pop_back();
      s.locals.pop_back();
    }
    return acc;
  }

  Value operator()(const expr::StrCat& n) const {
    Value l = ev(*n.left, kKeep);
    Value r = ev(*n.right, t);
    if (!l.is_str() || !r.is_str()) return Value::none();
    std::string joined;
    joined.reserve(l.as_str().size() + r.as_str().size());
    joined += l.as_str();
    joined += r.as_str();
    return Value::str(std::move(joined));
  }

  Value operator()(const expr::Macro&) const { return Value::none(); }
};

Value eval_in(Scope& s, const Expr& e, Tail t) { return std::visit(Evaluator{s, t}, e.node); }

bool is_true(const Value& v) { return v.is_bool() && v.as_bool(); }

// Appends an emitted value: a List contributes its elements (one level), None
// nothing, anything else itself.
void add_effect(std::vector<Value>& effects, Value v) {
  if (v.is_none()) return;
  if (!v.is_list()) {
    effects.push_back(std::move(v));
    return;
  }
  List& items = v.list_mut();
  effects.reserve(effects.size() + items.size());
  for (Value& item : items) effects.push_back(std::move(item));
}

void assign(Env& env, std::string_view slot, Value v) {
  if (auto it = env.find(slot); it != env.end()) {
    it->second = std::move(v);
  } else {
    env.emplace(std::string(slot), std::move(v));
  }
}

void run_transducer(const TransducerDef& t, Env& env, std::string_view tag, const Env& data,
                    std::vector<Value>& effects, UndoLog* undo) {
  Scope s;
  s.slots = &env;
  s.fields = &data;
  s.undo = undo;
  for (const Rule& rule : t.rules) {
    if (rule.on != tag) continue;
    if (!is_true(eval_in(s, rule.guard, kKeep))) continue;
    for (const Update& u : rule.updates) {
      auto it = env.find(u.slot);
      const bool found = it != env.end();
      s.dying_slot = found ? &it->second : nullptr;
      s.kept_slot = found && undo != nullptr ? &undo->keep_slot(it->second) : nullptr;
      Value v = eval_in(s, u.expr, Tail{kNoLocal, true});
      s.dying_slot = nullptr;
      s.kept_slot = nullptr;
      if (found) {
        it->second = std::move(v);
      } else if (undo != nullptr) {
        undo->add_slot(env, u.slot, std::move(v));
      } else {
        assign(env, u.slot, std::move(v));
      }
    }
    for (const Expr& e : rule.emits) add_effect(effects, eval_in(s, e, kKeep));
  }
}

}  // namespace

Value eval(const Env& env, const Expr& expr) {
  Scope s;
  s.slots = &env;
  return eval_in(s, expr, kKeep);
}

Env bind_event(const Env& slots, const Env& data) {
  Env scope = slots;
  for (const auto& [name, value] : data) scope.insert_or_assign(name, value);
  return scope;
}

std::pair<std::vector<Value>, Env> exec_transducer(const TransducerDef& t, const Env& env,
                                                   std::string_view tag, const Env& data) {
  Env current = env;
  std::vector<Value> effects;
  run_transducer(t, current, tag, data, effects, nullptr);
  return {std::move(effects), std::move(current)};
}

std::pair<std::vector<Value>, Env> exec_session(const std::vector<TransducerDef>& ts, Env env,
                                                std::string_view tag, const Env& data) {
  std::vector<Value> effects = exec_session_in_place(ts, env, tag, data, nullptr);
  return {std::move(effects), std::move(env)};
}

std::vector<Value> exec_session_in_place(const std::vector<TransducerDef>& ts, Env& env,
                                         std::string_view tag, const Env& data, UndoLog* undo) {
  std::vector<Value> effects;
  for (const TransducerDef& t : ts) run_transducer(t, env, tag, data, effects, undo);
  return effects;
}

}  // namespace vostrel::kernel::vm
