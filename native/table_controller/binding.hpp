// Binding of a create() call's arguments to its 19 parameters.
#pragma once

#include "module_state.hpp"
#include "refs.hpp"

#include <array>

namespace table_controller {

// The bound values in declaration order (see Parameter). Each slot holds a
// reference of its own, so the values stay alive whatever Python code a
// keyword comparison or the factory body runs.
struct BoundCreateArguments {
    std::array<OwnedRef, PARAMETER_COUNT> values;

    PyObject* operator[](Parameter parameter) const noexcept { return values[parameter].get(); }
};

// Binds a call made with the fast-call convention: `args` holds `nargs`
// positional values followed by one value per name in `kwnames`.
// Returns false with a TypeError (or an exception from comparing a keyword
// name) set.
bool bind_create_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           BoundCreateArguments& bound) noexcept;

// Binds a call whose keywords come as a dict (or nullptr).
bool bind_create_arguments_from_mapping(PyObject* args, PyObject* kwargs,
                                        BoundCreateArguments& bound) noexcept;

}  // namespace table_controller
