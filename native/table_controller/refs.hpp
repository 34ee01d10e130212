// Owning and borrowed references to Python objects.
//
// Every PyObject* this module owns lives in an OwnedRef, so that each early
// return on an error path releases what the function had made so far.  A
// BorrowedRef documents a pointer whose lifetime someone else guarantees; it
// never converts silently into an owner (Owned::borrow() takes a new
// reference explicitly).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace table_controller {

class BorrowedRef;

class OwnedRef {
public:
    OwnedRef() noexcept = default;

    // Takes over a reference the caller already owns (a "new reference"
    // returned by the C API). A null pointer makes an empty owner, so the
    // result of an API call can be wrapped before it is checked.
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

    // Adds a reference of its own to an object someone else owns.
    static OwnedRef borrow(PyObject* object) noexcept
    {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;

    OwnedRef(OwnedRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }

    OwnedRef& operator=(OwnedRef&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            // Released last: a destructor run here may re-enter this owner.
            Py_XDECREF(old);
        }
        return *this;
    }

    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }

    // Hands the reference to the caller (for returning a new reference to
    // the interpreter or for APIs that steal).
    [[nodiscard]] PyObject* release() noexcept
    {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

    void reset() noexcept
    {
        PyObject* old = object_;
        object_ = nullptr;
        Py_XDECREF(old);
    }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// A pointer whose reference is held elsewhere for as long as it is used.
class BorrowedRef {
public:
    BorrowedRef() noexcept = default;
    explicit BorrowedRef(PyObject* object) noexcept : object_(object) {}
    BorrowedRef(const OwnedRef& owner) noexcept : object_(owner.get()) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Sets the exception being raised aside, for work that must run without it,
// and raises it again on restore() or at the end of the scope; whatever that
// work raised meanwhile is dropped.
class PendingException {
public:
    PendingException() noexcept
    {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = OwnedRef::steal(type);
        value_ = OwnedRef::steal(value);
        traceback_ = OwnedRef::steal(traceback);
    }

    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

    ~PendingException() { restore(); }

    void restore() noexcept
    {
        if (type_) {
            PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        }
    }

private:
    OwnedRef type_;
    OwnedRef value_;
    OwnedRef traceback_;
};

}  // namespace table_controller
