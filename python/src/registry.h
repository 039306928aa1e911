// One registration function per class or function group; the module's
// execution slot calls them in the order of its attribute table
// (module.cpp). Each returns 0, or -1 with the Python error set.
#pragma once

#include "py.h"

namespace vostrel::py {

// definitions.cpp
int add_load_transducer(PyObject* module);
int add_stdlib(PyObject* module);
int add_validate(PyObject* module);
int add_session_init(PyObject* module);
// transducer_def.cpp, session_config.cpp
int add_transducer_def(PyObject* module);
int add_session_config(PyObject* module);
// session.cpp
int add_step_result(PyObject* module);
int add_session(PyObject* module);
// snapshot.cpp
int add_snapshot(PyObject* module);
// continuation_session.cpp
int add_continuation_session(PyObject* module);
int add_fold_result(PyObject* module);
// coordinator.cpp
int add_coordinator(PyObject* module);
// routing_functions.cpp
int add_load_session_def(PyObject* module);
int add_validate_session_def(PyObject* module);
int add_validate_session_def_strict(PyObject* module);
int add_derive_topology(PyObject* module);
int add_derive_inbound_checks(PyObject* module);
int add_resolve_source(PyObject* module);
// agent_session.cpp
int add_agent_session(PyObject* module);
// network_session.cpp
int add_network_session(PyObject* module);

// The module's execution slot.
int exec_module(PyObject* module);

}  // namespace vostrel::py
