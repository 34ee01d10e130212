#include "native_function.hpp"

#include <structmember.h>

#include <cstddef>

namespace table_controller {
namespace {

// Object layout. The fields are plain pointers because the interpreter reads
// this struct through offsets (vectorcall, __dict__, weak references); their
// ownership is managed by make_native_function, the GC clear hook and
// dealloc, the same way the interpreter's own function object does it.
struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    NativeImplementation implementation;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

NativeFunction* as_function(PyObject* self) noexcept { return reinterpret_cast<NativeFunction*>(self); }

PyObject* native_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept
{
    return as_function(self)->implementation.fast_call(args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* native_function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    return as_function(self)->implementation.mapping_call(args, kwargs);
}

// Like a Python function: reading it through an instance (or, under a
// classmethod, through a class) gives a bound method.
PyObject* native_function_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) noexcept
{
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* native_function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int native_function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    NativeFunction* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int native_function_clear(PyObject* self) noexcept
{
    NativeFunction* function = as_function(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void native_function_dealloc(PyObject* self) noexcept
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    native_function_clear(self);
    PyObject_GC_Del(self);
}

// Replaces the object in `slot` with `value` (a new reference is taken),
// releasing the old one only after the slot is updated.
void replace_slot(PyObject*& slot, PyObject* value) noexcept
{
    OwnedRef old = OwnedRef::steal(slot);
    slot = Py_XNewRef(value);
}

// Attributes kept in one field of the object, read and written through a
// shared pair of accessors.
enum class SlotKind {
    text,           // must be a str; cannot be deleted
    any_object,     // anything; deleting it sets None
    optional_dict,  // a dict or None
};

struct SlotAttribute {
    PyObject* NativeFunction::*field;
    const char* name;
    SlotKind kind;
};

SlotAttribute name_attribute{&NativeFunction::name, "__name__", SlotKind::text};
SlotAttribute qualname_attribute{&NativeFunction::qualname, "__qualname__", SlotKind::text};
SlotAttribute module_attribute{&NativeFunction::module, "__module__", SlotKind::any_object};
SlotAttribute doc_attribute{&NativeFunction::doc, "__doc__", SlotKind::any_object};
// Only what __kwdefaults__ reports changes: the defaults a call uses are
// fixed by the native implementation.
SlotAttribute kwdefaults_attribute{&NativeFunction::kwdefaults, "__kwdefaults__", SlotKind::optional_dict};
SlotAttribute annotations_attribute{&NativeFunction::annotations, "__annotations__", SlotKind::optional_dict};

PyObject* get_slot(PyObject* self, void* closure) noexcept
{
    const auto* attribute = static_cast<const SlotAttribute*>(closure);
    PyObject* value = as_function(self)->*(attribute->field);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

int set_slot(PyObject* self, PyObject* value, void* closure) noexcept
{
    const auto* attribute = static_cast<const SlotAttribute*>(closure);
    switch (attribute->kind) {
    case SlotKind::text:
        if (value == nullptr || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute->name);
            return -1;
        }
        break;
    case SlotKind::any_object:
        if (value == nullptr) {
            value = Py_None;
        }
        break;
    case SlotKind::optional_dict:
        if (value == Py_None) {
            value = nullptr;
        }
        if (value != nullptr && !PyDict_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a dict object", attribute->name);
            return -1;
        }
        break;
    }
    replace_slot(as_function(self)->*(attribute->field), value);
    return 0;
}

// The function has no positional parameter with a default.
PyObject* get_defaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// Like a Python function's, the annotations dict is made on first read
// after it was deleted.
PyObject* get_annotations(PyObject* self, void*) noexcept
{
    NativeFunction* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(function->annotations);
}

PyObject* get_globals(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->globals); }

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }

PyGetSetDef native_function_getset[] = {
    {"__name__", get_slot, set_slot, nullptr, &name_attribute},
    {"__qualname__", get_slot, set_slot, nullptr, &qualname_attribute},
    {"__module__", get_slot, set_slot, nullptr, &module_attribute},
    {"__doc__", get_slot, set_slot, nullptr, &doc_attribute},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_slot, set_slot, nullptr, &kwdefaults_attribute},
    {"__annotations__", get_annotations, set_slot, nullptr, &annotations_attribute},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject native_function_type = [] {
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = "table_controller.native_function";
    type.tp_basicsize = sizeof(NativeFunction);
    type.tp_dealloc = native_function_dealloc;
    type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    type.tp_repr = native_function_repr;
    type.tp_call = native_function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_doc = "A function implemented natively by the table_controller module.";
    type.tp_traverse = native_function_traverse;
    type.tp_clear = native_function_clear;
    type.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
    type.tp_getset = native_function_getset;
    type.tp_descr_get = native_function_get;
    type.tp_dictoffset = offsetof(NativeFunction, dict);
    return type;
}();

}  // namespace

bool ready_native_function_type() noexcept
{
    return PyType_Ready(&native_function_type) == 0;
}

OwnedRef make_native_function(const NativeImplementation& implementation,
                              const NativeFunctionAttributes& attributes) noexcept
{
    OwnedRef self = OwnedRef::steal(
        reinterpret_cast<PyObject*>(PyObject_GC_New(NativeFunction, &native_function_type)));
    if (!self) {
        return {};
    }
    NativeFunction* function = as_function(self.get());
    function->vectorcall = native_function_vectorcall;
    function->implementation = implementation;
    function->name = Py_XNewRef(attributes.name.get());
    function->qualname = Py_XNewRef(attributes.qualname.get());
    function->module = Py_XNewRef(attributes.module.get());
    function->doc = Py_XNewRef(attributes.doc.get());
    function->globals = Py_XNewRef(attributes.globals.get());
    function->code = Py_XNewRef(attributes.code.get());
    function->kwdefaults = Py_XNewRef(attributes.kwdefaults.get());
    function->annotations = Py_XNewRef(attributes.annotations.get());
    function->dict = nullptr;
    function->weakrefs = nullptr;
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace table_controller
