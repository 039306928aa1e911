#include "engine/kernel/value.h"

#include <algorithm>
#include <utility>

namespace vostrel::kernel {

Value Value::str(std::string s) {
  Value v;
  v.kind_ = Kind::Str;
  v.str_ = rc_new(std::move(s));
  return v;
}

Value Value::integer(std::int64_t i) noexcept {
  Value v;
  v.kind_ = Kind::Int;
  v.int_ = i;
  return v;
}

Value Value::boolean(bool b) noexcept {
  Value v;
  v.kind_ = Kind::Bool;
  v.bool_ = b;
  return v;
}

Value Value::list(List items) {
  Value v;
  v.kind_ = Kind::List;
  v.list_ = rc_new(std::move(items));
  return v;
}

Value Value::map(Map entries) {
  Value v;
  v.kind_ = Kind::Map;
  v.map_ = rc_new(std::move(entries));
  return v;
}

Value::Value(const Value& other) noexcept : kind_(other.kind_), int_(other.int_) {
  retain();
}

Value::Value(Value&& other) noexcept : kind_(other.kind_), int_(other.int_) {
  other.kind_ = Kind::None;
  other.int_ = 0;
}

Value& Value::operator=(const Value& other) noexcept {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    // Take the old payload out before releasing it: releasing may run
    // destructors of values that refer back into `other`'s tree.
    Value old;
    old.kind_ = kind_;
    old.int_ = int_;
    kind_ = other.kind_;
    int_ = other.int_;
    other.kind_ = Kind::None;
    other.int_ = 0;
  }
  return *this;
}

Value::~Value() { release(); }

void Value::retain() noexcept {
  switch (kind_) {
    case Kind::Str: rc_retain(str_); break;
    case Kind::List: rc_retain(list_); break;
    case Kind::Map: rc_retain(map_); break;
    default: break;
  }
}

namespace {

// Moves the children of a dying container onto `pending`, so that the
// container's own destruction finds no child that is still a deep tree.
void drain_into(List& children, std::vector<Value>& pending) {
  for (Value& child : children) pending.push_back(std::move(child));
  children.clear();
}

void drain_into(Map& children, std::vector<Value>& pending) {
  for (auto& entry : children) pending.push_back(std::move(entry.second));
  children.clear();
}

}  // namespace

void Value::release() noexcept {
  switch (kind_) {
    case Kind::Str:
      if (rc_release_is_last(str_)) delete str_;
      return;
    case Kind::List:
    case Kind::Map:
      break;
    default:
      return;
  }
  // A container whose last reference goes: dismantle its subtree with an
  // explicit stack instead of recursive destructors.
  std::vector<Value> pending;
  auto dispose = [&pending](Value& v) {
    if (v.kind_ == Kind::List) {
      if (rc_release_is_last(v.list_)) {
        drain_into(v.list_->value, pending);
        delete v.list_;
      }
    } else if (v.kind_ == Kind::Map) {
      if (rc_release_is_last(v.map_)) {
        drain_into(v.map_->value, pending);
        delete v.map_;
      }
    } else {
      v.release();
    }
    v.kind_ = Kind::None;
    v.int_ = 0;
  };
  dispose(*this);
  while (!pending.empty()) {
    Value next = std::move(pending.back());
    pending.pop_back();
    dispose(next);
  }
}

bool Value::same_payload(const Value& other) const noexcept {
  return kind_ == other.kind_ && int_ == other.int_ &&
         (kind_ == Kind::Str || kind_ == Kind::List || kind_ == Kind::Map);
}

bool operator==(const Value& a, const Value& b) {
  // Pairs still to compare; containers push their children in order and
  // the walk stops at the first difference.
  std::vector<std::pair<const Value*, const Value*>> todo;
  todo.emplace_back(&a, &b);
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x->kind_ != y->kind_) return false;
    if (x->same_payload(*y)) continue;
    switch (x->kind_) {
      case Kind::Str:
        if (x->as_str() != y->as_str()) return false;
        break;
      case Kind::Int:
        if (x->int_ != y->int_) return false;
        break;
      case Kind::Bool:
        if (x->bool_ != y->bool_) return false;
        break;
      case Kind::None:
        break;
      case Kind::List: {
        const List& l = x->as_list();
        const List& r = y->as_list();
        if (l.size() != r.size()) return false;
        for (std::size_t i = l.size(); i-- > 0;) todo.emplace_back(&l[i], &r[i]);
        break;
      }
      case Kind::Map: {
        const Map& l = x->as_map();
        const Map& r = y->as_map();
        if (l.size() != r.size()) return false;
        std::size_t first = todo.size();
        for (auto li = l.begin(), ri = r.begin(); li != l.end(); ++li, ++ri) {
          if (li->first != ri->first) return false;
          todo.emplace_back(&li->second, &ri->second);
        }
        // Compare the entries in key order: reverse the pushed run.
        std::reverse(todo.begin() + static_cast<std::ptrdiff_t>(first), todo.end());
        break;
      }
    }
  }
  return true;
}

}  // namespace vostrel::kernel
