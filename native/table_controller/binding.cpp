#include "binding.hpp"

#include "traceback.hpp"

#include <cassert>
#include <cstring>

namespace table_controller {
namespace {

constexpr const char* function_name = "create";

// The order in which keyword names are matched: the positional parameter,
// the two required keyword-only ones, then those with a default.
constexpr std::array<Parameter, PARAMETER_COUNT> match_order = {
    P_CLS,          P_MODEL_CLASS,   P_RESPONSE_SCHEMA, P_CREATE_SCHEMA, P_UPDATE_SCHEMA,
    P_CREATE_ROUTER, P_UPDATE_ROUTER, P_READ_ROUTER,    P_DELETE_ROUTER, P_QUERY_ROUTER,
    P_PREFIX,       P_SCHEMA_NAME,   P_TABLE_NAME,      P_TAGS,          P_DEFAULT_ROLE,
    P_AUTH_ROLE,    P_AUTH_OBJ,      P_AUTH_ACT,        P_DB_CONFIG_NAME,
};

// Parameters that only admit an exact str (or list) or None, in test order.
struct TypeTest {
    Parameter parameter;
    PyTypeObject* expected;
    const char* expected_name;
};

const std::array<TypeTest, 9>& type_tests() noexcept
{
    static const std::array<TypeTest, 9> tests = {{
        {P_PREFIX, &PyUnicode_Type, "str"},
        {P_SCHEMA_NAME, &PyUnicode_Type, "str"},
        {P_TABLE_NAME, &PyUnicode_Type, "str"},
        {P_TAGS, &PyList_Type, "list"},
        {P_DEFAULT_ROLE, &PyUnicode_Type, "str"},
        {P_AUTH_ROLE, &PyUnicode_Type, "str"},
        {P_AUTH_OBJ, &PyUnicode_Type, "str"},
        {P_AUTH_ACT, &PyUnicode_Type, "str"},
        {P_DB_CONFIG_NAME, &PyUnicode_Type, "str"},
    }};
    return tests;
}

constexpr const char* subclass_note =
    "Subclasses of built-in types are refused by this check: pass an instance of the built-in type itself.";

// --- messages -----------------------------------------------------------
//
// A bad call gets the texts of the interpreter's own argument parser for
// functions written in C. Its formats are kept whole, and what the parser
// computes from a signature (the function's name, "exactly", the one
// positional parameter, the empty plural ending) is passed as constant
// arguments for create's: the field widths (%.200s, %.8s) then cut a long
// value where the interpreter's message would.

bool fail_positional_count(Py_ssize_t given) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function_name, "exactly", static_cast<Py_ssize_t>(1), "", given);
    add_traceback_entry(TracebackSite::create);
    return false;
}

bool fail_missing(Parameter parameter) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %U", function_name,
                 module_state().parameter_names[parameter].get());
    add_traceback_entry(TracebackSite::create);
    return false;
}

bool fail_unexpected(PyObject* keyword) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name, keyword);
    add_traceback_entry(TracebackSite::create);
    return false;
}

bool fail_duplicate(PyObject* keyword) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name,
                 keyword);
    add_traceback_entry(TracebackSite::create);
    return false;
}

bool fail_keyword_not_string() noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
    add_traceback_entry(TracebackSite::create);
    return false;
}

// --- keyword matching ---------------------------------------------------

bool same_text(PyObject* left, PyObject* right) noexcept
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                       static_cast<std::size_t>(length) * PyUnicode_KIND(left)) == 0;
}

enum class Match { found, not_found, error };

// Compares a keyword name with one parameter name: by content for an exact
// str, by the equality operation (which may run Python code) otherwise.
Match compare_name(PyObject* keyword, PyObject* parameter_name) noexcept
{
    if (keyword == parameter_name) {
        return Match::found;
    }
    if (PyUnicode_CheckExact(keyword)) {
        return same_text(keyword, parameter_name) ? Match::found : Match::not_found;
    }
    int equal = PyObject_RichCompareBool(keyword, parameter_name, Py_EQ);
    if (equal < 0) {
        return Match::error;
    }
    return equal ? Match::found : Match::not_found;
}

// Finds the slot a keyword fills among the open slots (from `first` on in
// match order). Interned names are matched by identity before any
// comparison, so the usual call costs one pointer scan.
Match find_slot(PyObject* keyword, std::size_t first, Parameter& slot) noexcept
{
    const auto& names = module_state().parameter_names;
    for (std::size_t i = first; i < PARAMETER_COUNT; ++i) {
        if (names[match_order[i]].get() == keyword) {
            slot = match_order[i];
            return Match::found;
        }
    }
    for (std::size_t i = first; i < PARAMETER_COUNT; ++i) {
        Match match = compare_name(keyword, names[match_order[i]].get());
        if (match != Match::not_found) {
            slot = match_order[i];
            return match;
        }
    }
    return Match::not_found;
}

bool bind_keyword(PyObject* keyword, PyObject* value, bool cls_given_positionally,
                  BoundCreateArguments& bound) noexcept
{
    if (!PyUnicode_Check(keyword)) {
        return fail_keyword_not_string();
    }
    // The name is held across comparisons that may run Python code.
    OwnedRef held_keyword = OwnedRef::borrow(keyword);
    Parameter slot = P_CLS;
    switch (find_slot(keyword, cls_given_positionally ? 1 : 0, slot)) {
    case Match::found:
        bound.values[slot] = OwnedRef::borrow(value);
        return true;
    case Match::error:
        add_traceback_entry(TracebackSite::create);
        return false;
    case Match::not_found:
        break;
    }
    if (cls_given_positionally) {
        switch (compare_name(keyword, module_state().parameter_names[P_CLS].get())) {
        case Match::found:
            return fail_duplicate(keyword);
        case Match::error:
            add_traceback_entry(TracebackSite::create);
            return false;
        case Match::not_found:
            break;
        }
    }
    return fail_unexpected(keyword);
}

// --- the steps shared by both conventions -------------------------------

// Without any keyword the call cannot be complete: report what is missing.
bool fail_without_keywords(Py_ssize_t nargs) noexcept
{
    if (nargs == 1) {
        return fail_missing(P_MODEL_CLASS);
    }
    return fail_positional_count(nargs);
}

bool check_type(const TypeTest& test, PyObject* value) noexcept
{
    if (value == Py_None || Py_TYPE(value) == test.expected) {
        return true;
    }
    bool is_subclass = PyType_IsSubtype(Py_TYPE(value), test.expected);
    OwnedRef note = OwnedRef::steal(PyUnicode_FromString(is_subclass ? subclass_note : ""));
    if (!note) {
        return false;
    }
    OwnedRef name = OwnedRef::borrow(module_state().parameter_names[test.parameter].get());
    const char* parameter = PyUnicode_AsUTF8(name.get());
    if (parameter == nullptr) {
        return false;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 parameter, test.expected_name, Py_TYPE(value)->tp_name, is_subclass ? ". " : "",
                 note.get());
    return false;
}

// Fills defaults, checks the required parameters, then the types.
bool complete_binding(BoundCreateArguments& bound) noexcept
{
    for (std::size_t i = 3; i < PARAMETER_COUNT; ++i) {
        OwnedRef& slot = bound.values[match_order[i]];
        if (!slot) {
            slot = OwnedRef::borrow(Py_None);
        }
    }
    if (!bound.values[P_CLS]) {
        return fail_positional_count(0);
    }
    if (!bound.values[P_MODEL_CLASS]) {
        return fail_missing(P_MODEL_CLASS);
    }
    if (!bound.values[P_RESPONSE_SCHEMA]) {
        return fail_missing(P_RESPONSE_SCHEMA);
    }
    for (const TypeTest& test : type_tests()) {
        if (!check_type(test, bound[test.parameter])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_create_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           BoundCreateArguments& bound) noexcept
{
    assert(kwnames == nullptr || PyTuple_CheckExact(kwnames));
    Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0) {
        return fail_without_keywords(nargs);
    }
    if (nargs >= 2) {
        return fail_positional_count(nargs);
    }
    bool cls_given_positionally = nargs == 1;
    if (cls_given_positionally) {
        bound.values[P_CLS] = OwnedRef::borrow(args[0]);
    }
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        if (!bind_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], cls_given_positionally, bound)) {
            return false;
        }
    }
    return complete_binding(bound);
}

bool bind_create_arguments_from_mapping(PyObject* args, PyObject* kwargs, BoundCreateArguments& bound) noexcept
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return fail_without_keywords(nargs);
    }
    if (nargs >= 2) {
        return fail_positional_count(nargs);
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
    }
    bool cls_given_positionally = nargs == 1;
    if (cls_given_positionally) {
        bound.values[P_CLS] = OwnedRef::borrow(PyTuple_GET_ITEM(args, 0));
    }
    // Comparing a name of a str subclass can run Python code that changes
    // the dict, so the items are bound from a snapshot.
    OwnedRef items = OwnedRef::steal(PyDict_Items(kwargs));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!bind_keyword(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), cls_given_positionally, bound)) {
            return false;
        }
    }
    return complete_binding(bound);
}

}  // namespace table_controller
