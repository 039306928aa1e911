#include "convert.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <string_view>
#include <unordered_map>

#include "engine/codec/text.h"

namespace vostrel::py {

PyObject* new_long_str(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  codec::Utf8Shape shape{};
  if (!codec::utf8_measure(text, shape)) return PyUnicode_DecodeUTF8(text.data(), size, "replace");
  // A str must take the narrowest width that holds its characters.
  const Py_UCS4 max = shape.max_char;
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), max);
  if (!str) return nullptr;
  void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      if (max == 0x7F) {
        std::memcpy(data, text.data(), text.size());
      } else {
        codec::utf8_decode_valid(text, static_cast<Py_UCS1*>(data));
      }
      break;
    case PyUnicode_2BYTE_KIND: codec::utf8_decode_valid(text, static_cast<Py_UCS2*>(data)); break;
    default: codec::utf8_decode_valid(text, static_cast<Py_UCS4*>(data)); break;
  }
  return str;
}

using kernel::Env;
using kernel::List;
using kernel::Map;
using kernel::Value;

std::string type_qualname(PyObject* obj) {
  Ref name(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!text) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return std::string(text, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* obj) {
  Ref name(PyType_GetName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!text) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return std::string(text, static_cast<std::size_t>(size));
}

std::optional<std::string_view> str_utf8(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (!text) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

namespace {

void raise_not_convertible(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
               type_qualname(obj).c_str(), target);
}

std::optional<std::string> key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    raise_not_convertible(key, "PyString");
    return std::nullopt;
  }
  auto text = str_utf8(key);
  if (!text) return std::nullopt;
  return std::string(*text);
}

// Scalars convert at once; containers give their empty shell, filled by
// the caller's walk.
enum class Shape { Scalar, List, Dict };

Shape classify(PyObject* obj) {
  if (PyList_Check(obj)) return Shape::List;
  if (PyDict_Check(obj)) return Shape::Dict;
  return Shape::Scalar;
}

std::optional<Value> scalar_to_value(PyObject* obj) {
  if (obj == Py_None) return Value::none();
  if (Py_IS_TYPE(obj, &PyBool_Type)) return Value::boolean(obj == Py_True);
  if (PyLong_Check(obj)) {
    long long n = PyLong_AsLongLong(obj);
    if (n == -1 && PyErr_Occurred()) return std::nullopt;
    return Value::integer(n);
  }
  if (PyFloat_Check(obj)) {
    double x = PyFloat_AS_DOUBLE(obj);
    if (x - std::trunc(x) != 0.0 || std::isnan(x)) {
      PyErr_SetString(PyExc_ValueError, "Vostrel values don't support floats");
      return std::nullopt;
    }
    // Whole numbers beyond the 64-bit range saturate.
    constexpr double kTwo63 = 9223372036854775808.0;
    if (x >= kTwo63) return Value::integer(std::numeric_limits<std::int64_t>::max());
    if (x < -kTwo63) return Value::integer(std::numeric_limits<std::int64_t>::min());
    return Value::integer(static_cast<std::int64_t>(x));
  }
  if (PyUnicode_Check(obj)) {
    auto text = str_utf8(obj);
    if (!text) return std::nullopt;
    return Value::str(std::string(*text));
  }
  PyErr_Format(PyExc_ValueError, "Cannot convert %s to Vostrel Value", type_name(obj).c_str());
  return std::nullopt;
}

// One container being converted: where its walk stands and what it has
// built so far.
struct Frame {
  PyObject* obj = nullptr;
  Shape shape = Shape::Scalar;
  Py_ssize_t pos = 0;          // list index, or PyDict_Next position
  Py_ssize_t start_size = 0;   // the list's length when its walk began
  List items;
  Map entries;
  std::string key;             // the dict key whose value is being built
};

Frame open_frame(PyObject* obj, Shape shape) {
  Frame f;
  f.obj = obj;
  f.shape = shape;
  if (shape == Shape::List) {
    f.start_size = PyList_GET_SIZE(obj);
    f.items.reserve(static_cast<std::size_t>(f.start_size));
  }
  return f;
}

// Converts `root` (a list or dict when `as_env`) into a Value, or an Env
// when `as_env`; the walk keeps its own stack of frames. A list or dict that
// contains itself would be walked forever (and its value would never end),
// so meeting a container that is still open is refused.
std::optional<Value> convert_tree(PyObject* root, Map* env_out) {
  Shape root_shape = classify(root);
  if (root_shape == Shape::Scalar) return scalar_to_value(root);

  std::vector<Frame> stack;
  std::set<PyObject*> open{root};  // the containers of `stack`
  stack.push_back(open_frame(root, root_shape));
  std::optional<Value> finished;  // a completed child waiting for its parent
  while (true) {
    Frame& top = stack.back();
    if (finished) {
      if (top.shape == Shape::List) {
        top.items.push_back(std::move(*finished));
      } else {
        top.entries.insert_or_assign(std::move(top.key), std::move(*finished));
      }
      finished.reset();
    }
    PyObject* child = nullptr;
    if (top.shape == Shape::List) {
      // By position, up to the shorter of the starting and current length.
      if (top.pos < top.start_size && top.pos < PyList_GET_SIZE(top.obj)) {
        child = PyList_GET_ITEM(top.obj, top.pos);
        ++top.pos;
      }
    } else {
      PyObject* key = nullptr;
      if (PyDict_Next(top.obj, &top.pos, &key, &child)) {
        auto text = key_text(key);
        if (!text) return std::nullopt;
        top.key = std::move(*text);
      } else {
        child = nullptr;
      }
    }
    if (!child) {
      Frame done = std::move(stack.back());
      stack.pop_back();
      open.erase(done.obj);
      if (stack.empty()) {
        if (env_out) {
          *env_out = std::move(done.entries);
          return Value::none();
        }
        return done.shape == Shape::List ? Value::list(std::move(done.items))
                                         : Value::map(std::move(done.entries));
      }
      finished = done.shape == Shape::List ? Value::list(std::move(done.items))
                                           : Value::map(std::move(done.entries));
      continue;
    }
    Shape shape = classify(child);
    if (shape == Shape::Scalar) {
      finished = scalar_to_value(child);
      if (!finished) return std::nullopt;
    } else {
      if (!open.insert(child).second) {
        PyErr_Format(PyExc_ValueError, "Cannot convert %s that contains itself to Vostrel Value",
                     type_name(child).c_str());
        return std::nullopt;
      }
      stack.push_back(open_frame(child, shape));
    }
  }
}

}  // namespace

std::optional<Value> py_to_value(PyObject* obj) { return convert_tree(obj, nullptr); }

std::optional<Env> py_dict_to_env(PyObject* dict) {
  Env env;
  if (!convert_tree(dict, &env)) return std::nullopt;
  return env;
}

std::optional<EventLog> py_list_to_event_log(PyObject* list) {
  EventLog log;
  Py_ssize_t start_size = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < start_size && i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyTuple_Check(item)) {
      raise_not_convertible(item, "PyTuple");
      return std::nullopt;
    }
    if (PyTuple_GET_SIZE(item) < 1) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return std::nullopt;
    }
    auto tag = key_text(PyTuple_GET_ITEM(item, 0));
    if (!tag) return std::nullopt;
    if (PyTuple_GET_SIZE(item) < 2) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return std::nullopt;
    }
    PyObject* data = PyTuple_GET_ITEM(item, 1);
    if (!PyDict_Check(data)) {
      raise_not_convertible(data, "PyDict");
      return std::nullopt;
    }
    auto env = py_dict_to_env(data);
    if (!env) return std::nullopt;
    log.emplace_back(std::move(*tag), std::move(*env));
  }
  return log;
}

namespace {

PyObject* scalar_to_py(const Value& v) {
  switch (v.kind()) {
    case kernel::Kind::Str: return new_str(v.as_str());
    case kernel::Kind::Int: return PyLong_FromLongLong(v.as_int());
    case kernel::Kind::Bool: return PyBool_FromLong(v.as_bool());
    default: Py_RETURN_NONE;
  }
}

// A container whose Python shell exists (and already sits in its parent)
// and whose children are still to be added.
struct OutFrame {
  const List* list;  // exactly one of list and map is set
  const Map* map;
  PyObject* out;     // borrowed: owned by its parent, or by the root Ref
  std::size_t index = 0;
  Map::const_iterator next{};
};

OutFrame frame_for(const List* list, const Map* map, PyObject* out) {
  OutFrame f{list, map, out};
  if (map) f.next = map->begin();
  return f;
}

// One Python string per distinct map key of a conversion: a history holds
// thousands of maps with the same few keys, and sharing their key objects
// saves an allocation and a hash per entry (as json.loads does). The views
// point into the tree being converted, which outlives the memo; the lookup
// order is never observable.
class KeyMemo {
 public:
  KeyMemo() = default;
  KeyMemo(const KeyMemo&) = delete;
  KeyMemo& operator=(const KeyMemo&) = delete;
  ~KeyMemo() {
    for (auto& [text, key] : keys_) Py_DECREF(key);
  }

  // A new reference to the string for `text`, or nullptr with an error set.
  PyObject* get(std::string_view text) {
    auto [it, fresh] = keys_.try_emplace(text, nullptr);
    if (fresh) {
      it->second = new_str(text);
      if (!it->second) {
        keys_.erase(it);
        return nullptr;
      }
    }
    return Py_NewRef(it->second);
  }

 private:
  std::unordered_map<std::string_view, PyObject*> keys_;
};

// Fills the fresh shell of the root container with its whole subtree.
bool fill_tree(OutFrame root) {
  KeyMemo keys;
  std::vector<OutFrame> stack;
  stack.push_back(root);
  while (!stack.empty()) {
    OutFrame& top = stack.back();
    const Value* child = nullptr;
    PyObject* key = nullptr;
    std::size_t index = 0;
    if (top.list) {
      if (top.index < top.list->size()) {
        index = top.index++;
        child = &(*top.list)[index];
      }
    } else if (top.next != top.map->end()) {
      key = keys.get(top.next->first);
      if (!key) return false;
      child = &top.next->second;
      ++top.next;
    }
    if (!child) {
      stack.pop_back();
      continue;
    }
    const List* list = child->if_list();
    const Map* map = child->if_map();
    PyObject* out = list  ? PyList_New(static_cast<Py_ssize_t>(list->size()))
                    : map ? PyDict_New()
                          : scalar_to_py(*child);
    if (!out) {
      Py_XDECREF(key);
      return false;
    }
    PyObject* parent = top.out;
    if (key) {
      int rc = PyDict_SetItem(parent, key, out);
      Py_DECREF(key);
      Py_DECREF(out);  // the dict holds it now
      if (rc < 0) return false;
    } else {
      PyList_SET_ITEM(parent, static_cast<Py_ssize_t>(index), out);  // steals
    }
    if (list || map) stack.push_back(frame_for(list, map, out));  // `top` is dead now
  }
  return true;
}

}  // namespace

PyObject* value_to_py(const Value& value) {
  if (const List* list = value.if_list()) {
    Ref out(PyList_New(static_cast<Py_ssize_t>(list->size())));
    if (!out || !fill_tree(frame_for(list, nullptr, out.get()))) return nullptr;
    return out.release();
  }
  if (const Map* map = value.if_map()) return env_to_py_dict(*map);
  return scalar_to_py(value);
}

PyObject* env_to_py_dict(const Env& env) {
  Ref out(PyDict_New());
  if (!out || !fill_tree(frame_for(nullptr, &env, out.get()))) return nullptr;
  return out.release();
}

}  // namespace vostrel::py
