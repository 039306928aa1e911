// Class TransducerDef: an immutable holder of one definition; made only by
// load_transducer and stdlib.
#include "classes.h"
#include "object.h"
#include "registry.h"

namespace vostrel::py {

namespace {

PyObject* name(PyObject* self, void*) {
  return read_member<PyTransducerDef, Access::Shared>(
      self, [](const PyTransducerDef& t) { return new_str(t.def.name); });
}

PyObject* repr(PyObject* self) {
  return read_member<PyTransducerDef, Access::Shared>(self, [](const PyTransducerDef& t) {
    // The name as it is, neither quoted nor escaped.
    return new_str("TransducerDef('" + t.def.name + "')");
  });
}

PyGetSetDef getsets[] = {
    {"name", name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_transducer_def(PyObject* module) {
  return add_class<PyTransducerDef>(module, {.doc = "", .getsets = getsets, .repr = repr});
}

}  // namespace vostrel::py
