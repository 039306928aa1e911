// Class Snapshot: an immutable copy of a session's resumable state, written
// to and read from its JSON and MessagePack forms.
#include "classes.h"
#include "engine/session.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

constexpr Signature kFromMsgpack{"Snapshot.from_msgpack()", {"bytes"}};
constexpr Signature kFromJson{"Snapshot.from_json()", {"json"}};

// A new Snapshot object, or the reader's own text as a ValueError.
PyObject* made_or_raised(Result<session::Snapshot> read) {
  if (!read) return raise_value_error(read.error());
  return make_object(PySnapshot{std::move(*read)});
}

PyObject* event_count(PyObject* self, void*) {
  return read_member<PySnapshot, Access::Shared>(self, [](const PySnapshot& s) {
    return PyLong_FromUnsignedLongLong(s.snapshot.event_count);
  });
}

PyObject* pending(PyObject* self, void*) {
  return read_member<PySnapshot, Access::Shared>(
      self, [](const PySnapshot& s) { return new_str_list(s.snapshot.pending); });
}

// A writer refuses a value nested deeper than its reader takes: its text as
// a ValueError.
PyObject* to_msgpack(PyObject* self, PyObject*) {
  return read_member<PySnapshot, Access::Shared>(self, [](const PySnapshot& s) -> PyObject* {
    auto bytes = session::snapshot_to_msgpack(s.snapshot);
    if (!bytes) return raise_value_error(bytes.error());
    return PyBytes_FromStringAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size()));
  });
}

PyObject* from_msgpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kFromMsgpack, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    std::string_view bytes;
    if (!a.bytes(0, bytes)) return nullptr;
    return made_or_raised(session::snapshot_from_msgpack(bytes));
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return read_member<PySnapshot, Access::Shared>(self, [](const PySnapshot& s) -> PyObject* {
    auto text = session::snapshot_to_json(s.snapshot);
    if (!text) return raise_value_error(text.error());
    return new_str(*text);
  });
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_function(kFromJson, args, nargs, kwnames, [](const Args& a) -> PyObject* {
    // Read in place: a snapshot's text may run to megabytes.
    std::string_view json;
    if (!a.str(0, json)) return nullptr;
    return made_or_raised(session::snapshot_from_json(json));
  });
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef methods[] = {
    {"to_msgpack", as_cfunction(to_msgpack), METH_NOARGS, "to_msgpack($self)\n--\n\n"},
    {"from_msgpack", as_cfunction(from_msgpack), kStatic, "from_msgpack(bytes)\n--\n\n"},
    {"to_json", as_cfunction(to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {"from_json", as_cfunction(from_json), kStatic, "from_json(json)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    {"event_count", event_count, nullptr, nullptr, nullptr},
    {"pending", pending, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_snapshot(PyObject* module) {
  return add_class<PySnapshot>(module, {.doc = "", .methods = methods, .getsets = getsets});
}

}  // namespace vostrel::py
