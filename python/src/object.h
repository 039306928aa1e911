// The module's Python objects and classes.
//
// Every class keeps its engine state in a plain C++ record (`PySnapshot`,
// `PyAgentSession`, ...) embedded in the Python object after its header.
// The class objects are heap types made at registration: named by the bare
// class name, not subclassable, without instance dict or weak references.
// Mutable records carry a `BorrowFlag borrow` member; the call helpers take
// it for the members that need it.
//
// Each interpreter has its own class objects, kept in the interpreter's own
// dict and shared by every copy of the module imported into it, so an
// object made through one copy is an instance of the classes every copy
// names, and no class or object is ever shared between interpreters.
#pragma once

#include <cstddef>
#include <exception>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "args.h"
#include "borrow.h"
#include "py.h"

namespace vostrel::py {

template <class Body>
struct Object {
  PyObject_HEAD
  Body body;
};

template <class Body>
Body& body_of(PyObject* self) {
  return reinterpret_cast<Object<Body>*>(self)->body;
}

template <class Body>
inline constexpr bool kMutable = requires(Body& b) { b.borrow; };

template <class Body>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  body_of<Body>(self).~Body();
  type->tp_free(self);
  Py_DECREF(type);
}

// The classes in registration order; a class's position is its place in
// the interpreter's class table.
inline constexpr std::string_view kClassNames[] = {
    "TransducerDef",       "SessionConfig", "StepResult",  "Session",      "Snapshot",
    "ContinuationSession", "FoldResult",    "Coordinator", "AgentSession", "NetworkSession",
};
inline constexpr std::size_t kClassCount = std::size(kClassNames);

consteval std::size_t class_slot(std::string_view name) {
  for (std::size_t i = 0; i < kClassCount; ++i) {
    if (kClassNames[i] == name) return i;
  }
  throw std::logic_error("a class missing from kClassNames");
}

// The calling interpreter's class object in `slot` (borrowed: the
// interpreter holds it until it shuts down), or null with a Python error
// set when no module copy has made it in this interpreter.
PyTypeObject* interpreter_class(std::size_t slot);

template <class Body>
PyTypeObject* class_of() {
  return interpreter_class(class_slot(Body::kName));
}

// Instances are recognised by their deallocator, which is unique to each
// record: every class made for `Body` by this library shares it.
template <class Body>
bool is_instance(PyObject* obj) {
  return Py_TYPE(obj)->tp_dealloc == &dealloc<Body>;
}

template <class Body>
bool Args::instance(std::size_t i, const Body*& out) const {
  if (!is_instance<Body>(values_[i])) {
    raise_not_instance(values_[i], Body::kName);
    return fail_argument(name(i));
  }
  out = &body_of<Body>(values_[i]);
  return true;
}

// A new instance of `Body`'s class in the calling interpreter (or of
// `type`, the class a constructor was called on) that owns `body`.
template <class Body>
PyObject* make_object(Body body, PyTypeObject* type = class_of<Body>()) {
  // Nothing may throw between the allocation and the record in place.
  static_assert(std::is_nothrow_move_constructible_v<Body>);
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  new (&body_of<Body>(self)) Body(std::move(body));
  return self;
}

struct ClassSpec {
  const char* doc;  // "" or the constructor's signature form "Name(a, b)\n--\n\n"
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getsets = nullptr;
  newfunc constructor = nullptr;  // none: Python may not instantiate the class
  reprfunc repr = nullptr;
};

// Adds the class in `slot` to the module: the interpreter's class object
// when an earlier module copy made it, else a new one made from `spec`.
int add_class_object(PyObject* module, const char* name, std::size_t slot, Py_ssize_t basicsize,
                     destructor dealloc_fn, const ClassSpec& spec);

template <class Body>
int add_class(PyObject* module, const ClassSpec& spec) {
  return add_class_object(module, Body::kName, class_slot(Body::kName), sizeof(Object<Body>),
                          &dealloc<Body>, spec);
}

// Adds a built-in function bound to the module under the def's name.
int add_function(PyObject* module, PyMethodDef* def);

// Runs one entry point; an escaping C++ exception (only allocation failure
// is expected) becomes a Python error instead of crossing into the
// interpreter.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

// The call protocol: match the arguments, borrow the instance, let `body`
// convert the arguments in order, run the one engine operation and convert
// its result; the borrow goes when the call returns, on every path.
template <class Body, Access access, class F>
PyObject* call_method(PyObject* self, const Signature& sig, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, F&& body) {
  return guarded([&]() -> PyObject* {
    auto matched = match_fastcall(sig, args, nargs, kwnames);
    if (!matched) return nullptr;
    Body& b = body_of<Body>(self);
    if constexpr (kMutable<Body>) {
      Borrow borrow(b.borrow, access);
      if (!borrow) return nullptr;
      return body(b, *matched);
    } else {
      static_assert(access == Access::Shared, "immutable classes have no mutating member");
      return body(static_cast<const Body&>(b), *matched);
    }
  });
}

// Getters and no-argument methods: only the borrow and the result.
template <class Body, Access access, class F>
PyObject* read_member(PyObject* self, F&& body) {
  return guarded([&]() -> PyObject* {
    Body& b = body_of<Body>(self);
    if constexpr (kMutable<Body>) {
      Borrow borrow(b.borrow, access);
      if (!borrow) return nullptr;
      return body(b);
    } else {
      return body(static_cast<const Body&>(b));
    }
  });
}

// Module functions and static methods: no instance, no borrow.
template <class F>
PyObject* call_function(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, F&& body) {
  return guarded([&]() -> PyObject* {
    auto matched = match_fastcall(sig, args, nargs, kwnames);
    if (!matched) return nullptr;
    return body(*matched);
  });
}

// Constructors (the creation slot): tuple-and-dict arguments, no borrow;
// `body` returns the new record or nullopt with the error set.
template <class Body, class F>
PyObject* construct(PyTypeObject* type, const Signature& sig, PyObject* args, PyObject* kwargs,
                    F&& body) {
  return guarded([&]() -> PyObject* {
    auto matched = match_tuple(sig, args, kwargs);
    if (!matched) return nullptr;
    std::optional<Body> made = body(*matched);
    if (!made) return nullptr;
    return make_object<Body>(std::move(*made), type);
  });
}

// The error mapping: every failure the system itself reports is a
// ValueError carrying its text.
inline PyObject* raise_value_error(std::string_view message) {
  Ref text(new_str(message));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

// Method tables hold every entry point as a PyCFunction; the calling
// convention flags say what it really is.
template <class Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline PyObject* new_bool(bool b) { return PyBool_FromLong(b); }

// Results are built so that every object is owned from the moment it
// exists, whatever fails next: a container is made first and each element
// goes into it straight from the call that made it, before the next one is
// made. A failure (a null from Python, or a C++ exception) then releases
// the container with everything already in it.

// A new list of one item per element of `items` (any sized range), made by
// `make` (a new reference, or null with the error set).
template <class Items, class Make>
PyObject* new_list_of(const Items& items, Make&& make) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& element : items) {
    PyObject* item = make(element);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);  // steals
  }
  return list.release();
}

template <class Strings>
PyObject* new_str_list(const Strings& items) {
  return new_list_of(items, [](const std::string& text) { return new_str(text); });
}

// Stores `value`, a new reference straight from the call that made it (or
// null with the error set), under `key`; `value` is owned from here on, by
// the dict or released. Chain the entries with &&, so that each value is
// made only when the one before it is owned, and none after a failure.
bool set_item(PyObject* dict, const char* key, PyObject* value);

// A new dict, its entries stored by `fill(dict)` (a chain of set_item);
// null with the error set when any of them fails.
template <class Fill>
PyObject* new_dict(Fill&& fill) {
  Ref dict(PyDict_New());
  if (!dict || !fill(dict.get())) return nullptr;
  return dict.release();
}

}  // namespace vostrel::py
