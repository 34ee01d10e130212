// AuthController.create: binding, derivation of the naming scheme, and the
// construction of the router, the five route settings and the controller.
#pragma once

#include "refs.hpp"

namespace table_controller {

// The two native entries of the create function object.
PyObject* create_fast_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* create_mapping_call(PyObject* args, PyObject* kwargs) noexcept;

}  // namespace table_controller
