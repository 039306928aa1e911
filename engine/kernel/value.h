// The kernel's only datum, and the environment that maps names to data.
//
// `Value` has value semantics: a copy is equal to and independent of its
// source. Strings, lists and maps are shared between copies until one of them
// is written (see rc.h), so copying is O(1) and a write through a `*_mut`
// accessor duplicates only the one level it changes. Destruction and equality
// walk the tree with an explicit stack, so a value nested a million levels
// deep (evaluation can build one) neither overflows the stack when it dies
// nor when it is compared; dying allocates nothing, so freeing works when
// memory has run out.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/kernel/rc.h"

namespace vostrel::kernel {

class Value;

// Map keys and environment names are ordered by the unsigned bytes of their
// UTF-8 text; std::string's comparison is exactly that.
using List = std::vector<Value>;
using Map = std::map<std::string, Value, std::less<>>;
// An environment: slots of a session, fields of an event, data of a request.
using Env = Map;

// Variant numbers are part of the external forms (tag indices, VType).
enum class Kind : std::uint8_t { Str = 0, Int = 1, Bool = 2, List = 3, Map = 4, None = 5 };

// The variants' names, by number: the tags of the external forms.
inline constexpr std::array<std::string_view, 6> kKindNames = {"Str", "Int",  "Bool",
                                                               "List", "Map", "None"};

inline constexpr std::string_view kind_name(Kind k) { return kKindNames[static_cast<int>(k)]; }

class Value {
 public:
  Value() noexcept : kind_(Kind::None), int_(0) {}
  static Value none() noexcept { return Value(); }
  static Value str(std::string s);
  static Value integer(std::int64_t i) noexcept;
  static Value boolean(bool b) noexcept;
  static Value list(List items);
  static Value map(Map entries);

  Value(const Value& other) noexcept;
  Value(Value&& other) noexcept;
  Value& operator=(const Value& other) noexcept;
  Value& operator=(Value&& other) noexcept;
  ~Value();

  Kind kind() const noexcept { return kind_; }
  bool is_str() const noexcept { return kind_ == Kind::Str; }
  bool is_int() const noexcept { return kind_ == Kind::Int; }
  bool is_bool() const noexcept { return kind_ == Kind::Bool; }
  bool is_list() const noexcept { return kind_ == Kind::List; }
  bool is_map() const noexcept { return kind_ == Kind::Map; }
  bool is_none() const noexcept { return kind_ == Kind::None; }

  // Readers; each requires the matching kind.
  const std::string& as_str() const noexcept { return str_->value; }
  std::int64_t as_int() const noexcept { return int_; }
  bool as_bool() const noexcept { return bool_; }
  const List& as_list() const noexcept { return list_->value; }
  const Map& as_map() const noexcept { return map_->value; }

  // Null when the kind does not match: the evaluator's usual question.
  const std::string* if_str() const noexcept { return is_str() ? &str_->value : nullptr; }
  const std::int64_t* if_int() const noexcept { return is_int() ? &int_ : nullptr; }
  const bool* if_bool() const noexcept { return is_bool() ? &bool_ : nullptr; }
  const List* if_list() const noexcept { return is_list() ? &list_->value : nullptr; }
  const Map* if_map() const noexcept { return is_map() ? &map_->value : nullptr; }

  // Writers; each requires the matching kind and unshares the payload first.
  std::string& str_mut() { return rc_make_mut(str_); }
  List& list_mut() { return rc_make_mut(list_); }
  Map& map_mut() { return rc_make_mut(map_); }

  // True when both share one payload (a cheap equality short cut).
  bool same_payload(const Value& other) const noexcept;

  friend bool operator==(const Value& a, const Value& b);

 private:
  friend class UndoLog;
  // True when this and `kept` share one payload that nothing else holds.
  bool shared_only_with(const Value& kept) const noexcept;
  void retain() noexcept;
  void release() noexcept;
  void detach_into(void* dying) noexcept;

  Kind kind_;
  union {
    std::int64_t int_;
    bool bool_;
    RcBox<std::string>* str_;
    RcBox<List>* list_;
    RcBox<Map>* map_;
  };
};

// How a computation that may fail half way changes a state all or nothing
// without copying it: it writes the state's slots, and the lists and maps
// they hold, through this log, which can put everything back.
//
// Slots: before its first write, a slot's value is kept in the log
// (`keep_slot`: a cheap copy, payload shared); a slot the computation adds
// is recorded (`add_slot`). The kept value is the one the slot's payload
// writes below are measured against.
//
// The rule for payloads, kept here and nowhere else: each write is given the
// working value and the kept value it came from. When those two are the
// payload's only holders the write is made in place and recorded; otherwise
// the working value copies on write like any other writer and nothing is
// recorded. So a history that grows by one message per event grows in the
// one payload both share, and a payload that a third holder (a snapshot,
// another thread, a value handed out earlier) can see is never written.
//
// `commit` forgets the kept values and the writes: the state stays as the
// computation left it. `rollback` (also run by the destructor) first puts
// the kept values back into their slots and removes the added ones, then
// undoes the payload writes, last first; by then the kept value must be the
// payload's only holder: every copy the computation made must have died
// first, and nothing it wrote may have been handed out (checked in debug and
// sanitizer builds). Whoever owns a log therefore lets it die after
// everything else of its computation, and before the state. Every write is
// strong: when it throws, neither the state nor the log has changed.
class UndoLog {
 public:
  UndoLog() = default;
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;
  ~UndoLog() { rollback(); }

  // The kept value of `slot` (a value held by an environment), kept at the
  // first call for that slot; valid until the next call of `keep_slot` or
  // `add_slot`.
  Value& keep_slot(Value& slot);
  // Adds the slot `name`, which `env` does not hold, with `value`.
  void add_slot(Env& env, std::string_view name, Value value);

  // `list` and `map` are working values of their kind, `kept` the value
  // they came from (whatever its kind).
  void push_back(Value& list, Value& kept, Value item);
  void insert_or_assign(Value& map, Value& kept, std::string_view key, Value value);
  void erase(Value& map, Value& kept, std::string_view key);

  void rollback() noexcept;
  void commit() noexcept {
    slots_.clear();
    entries_.clear();
  }
  bool empty() const noexcept { return slots_.empty() && entries_.empty(); }

 private:
  struct Slot {
    Value* slot = nullptr;             // kept: the slot and its value before
    Value old;
    Env* env = nullptr;                // added: the environment and its new key
    const std::string* key = nullptr;
  };
  struct Entry {
    enum class Op : std::uint8_t { Push, Assign, Insert, Erase } op;
    RcBox<List>* list = nullptr;
    RcBox<Map>* map = nullptr;
    std::size_t size = 0;              // Push: the length before
    Value* slot = nullptr;             // Assign: the entry written
    const std::string* key = nullptr;  // Insert: the key added
    Value old;                         // Assign: the value before
    Map::node_type node;               // Erase: the entry taken out
  };
  // Grows a record list geometrically ahead of a write, so that recording
  // the write cannot fail once it is made.
  template <class T>
  static void room_for_one(std::vector<T>& records);

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
};

}  // namespace vostrel::kernel
