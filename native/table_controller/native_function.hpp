// A function object implemented in C++ that looks and introspects like a
// Python function: it binds as a method through __get__, is called through
// vectorcall, and exposes __code__, __kwdefaults__, __annotations__ and a
// real __dict__ so that inspect, typing and help() work on it.
#pragma once

#include "refs.hpp"

namespace table_controller {

// The native implementation behind a function object: one entry for the
// fast-call convention and one for a call whose keywords come as a dict.
struct NativeImplementation {
    PyObject* (*fast_call)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    PyObject* (*mapping_call)(PyObject* args, PyObject* kwargs);
};

struct NativeFunctionAttributes {
    BorrowedRef name;
    BorrowedRef qualname;
    BorrowedRef module;
    BorrowedRef doc;
    BorrowedRef globals;
    BorrowedRef code;
    BorrowedRef kwdefaults;
    BorrowedRef annotations;
};

// Readies the type once per process. Returns false with an exception set.
bool ready_native_function_type() noexcept;

// Makes a new function object; each attribute gets a reference of its own.
OwnedRef make_native_function(const NativeImplementation& implementation,
                              const NativeFunctionAttributes& attributes) noexcept;

}  // namespace table_controller
