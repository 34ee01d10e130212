#include "factory.hpp"

#include "binding.hpp"
#include "module_state.hpp"
#include "route_merge.hpp"
#include "traceback.hpp"

#include <algorithm>
#include <cassert>

namespace table_controller {
namespace {

std::uint64_t dict_version(PyObject* dict) noexcept
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

#ifndef NDEBUG
// Whether the namespaces still answer `name` with `value`, as a borrowed
// cache entry requires. A key whose comparison fails cannot tell: it passes.
bool still_answers(PyObject* globals, PyObject* builtins, PyObject* name, PyObject* value) noexcept
{
    PyObject* held = PyDict_GetItemWithError(globals, name);
    if (held == nullptr && !PyErr_Occurred()) {
        held = PyDict_GetItemWithError(builtins, name);
    }
    if (held == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return held == value;
}
#endif

// Looks a collaborator up in the module namespace, then in the builtins, as
// a global name would be. The answer is cached per place of use and reused
// while neither namespace has changed, so that rebinding a module attribute
// takes effect at the next lookup.
OwnedRef lookup_collaborator(PyObject* name, NameCache& cache) noexcept
{
    ModuleState& state = module_state();
    PyObject* globals = state.module_dict.get();
    PyObject* builtins = state.builtins_dict.get();
    assert(globals != nullptr && builtins != nullptr);  // create is only reachable from an initialised module
    std::uint64_t globals_version = dict_version(globals);
    std::uint64_t builtins_version = dict_version(builtins);
    if (cache.value && cache.globals_version == globals_version && cache.builtins_version == builtins_version) {
        assert(still_answers(globals, builtins, name, cache.value.get()));
        return OwnedRef::borrow(cache.value.get());
    }

    OwnedRef value = OwnedRef::borrow(PyDict_GetItemWithError(globals, name));
    if (!value) {
        if (PyErr_Occurred()) {
            return {};
        }
        value = OwnedRef::borrow(PyDict_GetItemWithError(builtins, name));
        if (!value) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            }
            return {};
        }
    }
    // The versions read before the lookup are kept: if the lookup itself
    // changed a namespace, the next call simply looks again.
    cache.globals_version = globals_version;
    cache.builtins_version = builtins_version;
    cache.value = BorrowedRef(value.get());
    return value;
}

// Calls `callable` with keyword arguments only, `values` in the order of
// the signature's names.
OwnedRef call_with_keywords(const OwnedRef& callable, const KeywordSignature& signature,
                            PyObject* const* values) noexcept
{
    if (PyVectorcall_Function(callable.get()) != nullptr) {
        return OwnedRef::steal(PyObject_Vectorcall(callable.get(), values, 0, signature.names.get()));
    }
    OwnedRef keywords = OwnedRef::steal(PyDict_Copy(signature.template_dict.get()));
    if (!keywords) {
        return {};
    }
    Py_ssize_t count = signature.template_holds_values ? 0 : PyTuple_GET_SIZE(signature.names.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Every name is already a key, so this replaces a value in place and
        // keeps the call order.
        if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(signature.names.get(), i), values[i]) < 0) {
            return {};
        }
    }
    assert(PyDict_GET_SIZE(keywords.get()) == PyTuple_GET_SIZE(signature.names.get()));
    return OwnedRef::steal(PyObject_Call(callable.get(), module_state().empty_tuple.get(), keywords.get()));
}

bool is_true(PyObject* value) noexcept
{
    // Binding has admitted only None, an exact str or an exact list here.
    if (value == Py_None) {
        return false;
    }
    if (PyUnicode_CheckExact(value)) {
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    assert(PyList_CheckExact(value));
    return PyList_GET_SIZE(value) != 0;
}

// A string stands for itself; None for the text "None".
PyObject* text_of(PyObject* value) noexcept
{
    return value == Py_None ? module_state().none_text.get() : value;
}

OwnedRef concat(PyObject* left, PyObject* right) noexcept
{
    return OwnedRef::steal(PyUnicode_Concat(left, right));
}

// Joins three strings with one allocation.
OwnedRef concat(PyObject* first, PyObject* second, PyObject* third) noexcept
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(first) + PyUnicode_GET_LENGTH(second) + PyUnicode_GET_LENGTH(third);
    Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(first);
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(second));
    max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(third));
    OwnedRef joined = OwnedRef::steal(PyUnicode_New(length, max_char));
    if (!joined) {
        return {};
    }
    Py_ssize_t position = 0;
    for (PyObject* part : {first, second, third}) {
        if (PyUnicode_CopyCharacters(joined.get(), position, part, 0, PyUnicode_GET_LENGTH(part)) < 0) {
            return {};
        }
        position += PyUnicode_GET_LENGTH(part);
    }
    return joined;
}

struct DerivedNames {
    OwnedRef prefix;
    OwnedRef tags;
    OwnedRef default_role;
    OwnedRef auth_obj;
};

bool derive_names(const BoundCreateArguments& arguments, DerivedNames& derived) noexcept
{
    ModuleState& state = module_state();
    PyObject* schema_name = arguments[P_SCHEMA_NAME];
    PyObject* table_name = arguments[P_TABLE_NAME];
    bool has_schema_name = is_true(schema_name);

    OwnedRef schema_path = has_schema_name ? concat(schema_name, state.slash.get())
                                           : OwnedRef::borrow(state.empty.get());
    OwnedRef schema_dotted = has_schema_name ? concat(schema_name, state.dot.get())
                                             : OwnedRef::borrow(state.empty.get());
    if (!schema_path || !schema_dotted) {
        return false;
    }

    if (is_true(arguments[P_PREFIX])) {
        derived.prefix = OwnedRef::borrow(arguments[P_PREFIX]);
    } else {
        derived.prefix = concat(state.version_prefix.get(), schema_path.get(), text_of(table_name));
        if (!derived.prefix) {
            return false;
        }
    }

    if (is_true(arguments[P_TAGS])) {
        derived.tags = OwnedRef::borrow(arguments[P_TAGS]);
    } else {
        OwnedRef tag = concat(schema_dotted.get(), state.table_word.get());
        if (!tag) {
            return false;
        }
        derived.tags = OwnedRef::steal(PyList_New(1));
        if (!derived.tags) {
            return false;
        }
        PyList_SET_ITEM(derived.tags.get(), 0, tag.release());
    }

    derived.default_role = OwnedRef::borrow(is_true(arguments[P_DEFAULT_ROLE]) ? arguments[P_DEFAULT_ROLE]
                                                                              : schema_name);

    if (is_true(arguments[P_AUTH_OBJ])) {
        derived.auth_obj = OwnedRef::borrow(arguments[P_AUTH_OBJ]);
    } else {
        derived.auth_obj = concat(schema_dotted.get(), text_of(table_name));
        if (!derived.auth_obj) {
            return false;
        }
    }
    return true;
}

OwnedRef build_auth_router(const BoundCreateArguments& arguments, const DerivedNames& derived) noexcept
{
    ModuleState& state = module_state();
    OwnedRef auth_router_class = lookup_collaborator(state.auth_router_name.get(), state.auth_router_cache);
    if (!auth_router_class) {
        return {};
    }
    PyObject* const values[] = {
        derived.prefix.get(),       derived.tags.get(),      arguments[P_DB_CONFIG_NAME],
        derived.default_role.get(), arguments[P_AUTH_ROLE],  derived.auth_obj.get(),
        arguments[P_AUTH_ACT],
    };
    return call_with_keywords(auth_router_class, state.auth_router_call, values);
}

constexpr Parameter operation_parameters[OPERATION_COUNT] = {
    P_CREATE_ROUTER, P_UPDATE_ROUTER, P_READ_ROUTER, P_DELETE_ROUTER, P_QUERY_ROUTER,
};

// Builds the operation's default settings and lays the caller's over them.
OwnedRef settle_operation(const BoundCreateArguments& arguments, std::size_t operation) noexcept
{
    assert(operation < OPERATION_COUNT);
    ModuleState& state = module_state();
    OwnedRef router_config_class =
        lookup_collaborator(state.router_config_name.get(), state.router_config_caches[operation]);
    if (!router_config_class) {
        return {};
    }
    PyObject* const values[] = {
        Py_True, state.default_messages[operation].get(), state.default_summaries[operation].get(),
        Py_True, Py_None, Py_None, state.default_actions[operation].get(),
    };
    OwnedRef default_router = call_with_keywords(router_config_class, state.router_config_calls[operation], values);
    if (!default_router) {
        return {};
    }
    return apply_route_config(BorrowedRef(arguments[operation_parameters[operation]]), default_router);
}

bool build_generic_controller(const BoundCreateArguments& arguments, const OwnedRef& auth_router,
                              const std::array<OwnedRef, OPERATION_COUNT>& operation_routers) noexcept
{
    ModuleState& state = module_state();
    OwnedRef controller_class =
        lookup_collaborator(state.generic_controller_name.get(), state.generic_controller_cache);
    if (!controller_class) {
        return false;
    }
    PyObject* const values[] = {
        auth_router.get(),
        arguments[P_MODEL_CLASS],
        arguments[P_CREATE_SCHEMA],
        arguments[P_UPDATE_SCHEMA],
        arguments[P_RESPONSE_SCHEMA],
        operation_routers[0].get(),
        operation_routers[1].get(),
        operation_routers[2].get(),
        operation_routers[3].get(),
        operation_routers[4].get(),
    };
    // Constructing the controller registers the endpoints on the router; the
    // controller itself is not kept.
    OwnedRef controller = call_with_keywords(controller_class, state.generic_controller_call, values);
    return static_cast<bool>(controller);
}

OwnedRef run_create(const BoundCreateArguments& arguments) noexcept
{
    DerivedNames derived;
    if (!derive_names(arguments, derived)) {
        return {};
    }
    OwnedRef auth_router = build_auth_router(arguments, derived);
    if (!auth_router) {
        return {};
    }
    std::array<OwnedRef, OPERATION_COUNT> operation_routers;
    for (std::size_t operation = 0; operation < OPERATION_COUNT; ++operation) {
        operation_routers[operation] = settle_operation(arguments, operation);
        if (!operation_routers[operation]) {
            return {};
        }
    }
    if (!build_generic_controller(arguments, auth_router, operation_routers)) {
        return {};
    }
    return auth_router;
}

PyObject* finish_create(const BoundCreateArguments& arguments) noexcept
{
    // Binding has filled every slot, the defaults included.
    assert(std::all_of(arguments.values.begin(), arguments.values.end(),
                       [](const OwnedRef& value) { return static_cast<bool>(value); }));
    OwnedRef result = run_create(arguments);
    if (!result) {
        add_traceback_entry(TracebackSite::create);
    }
    return result.release();
}

}  // namespace

PyObject* create_fast_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    BoundCreateArguments arguments;
    if (!bind_create_arguments(args, nargs, kwnames, arguments)) {
        return nullptr;
    }
    return finish_create(arguments);
}

PyObject* create_mapping_call(PyObject* args, PyObject* kwargs) noexcept
{
    BoundCreateArguments arguments;
    if (!bind_create_arguments_from_mapping(args, kwargs, arguments)) {
        return nullptr;
    }
    return finish_create(arguments);
}

}  // namespace table_controller
