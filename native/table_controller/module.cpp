// Module initialisation: the module definition with its create and exec
// steps, the process-wide state, and the AuthController class.
#include "docstrings.hpp"
#include "factory.hpp"
#include "module_state.hpp"
#include "native_function.hpp"
#include "refs.hpp"
#include "traceback.hpp"

#include <cassert>
#include <initializer_list>

namespace table_controller {

ModuleState& module_state() noexcept
{
    // Never destroyed: the references it holds belong to the interpreter,
    // which may already be finalised when static destructors run.
    static ModuleState* state = new ModuleState();
    return *state;
}

namespace {

constexpr const char* module_name = "table_controller";
constexpr const char* source_file = "table_controller.py";
constexpr int built_major = 3;
constexpr int built_minor = 11;

// The interpreter that first ran the create step; -1 until then.
std::int64_t recorded_interpreter = -1;

// --- constants ----------------------------------------------------------

OwnedRef interned(const char* text) noexcept { return OwnedRef::steal(PyUnicode_InternFromString(text)); }

OwnedRef text(const char* value) noexcept { return OwnedRef::steal(PyUnicode_FromString(value)); }

OwnedRef names_tuple(std::initializer_list<const OwnedRef*> names) noexcept
{
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const OwnedRef* name : names) {
        PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(name->get()));
    }
    assert(index == PyTuple_GET_SIZE(tuple.get()));  // a tuple with an empty slot must not escape
    return tuple;
}

constexpr const char* parameter_texts[PARAMETER_COUNT] = {
    "cls",           "model_class",   "create_schema", "update_schema", "response_schema",
    "create_router", "update_router", "read_router",   "delete_router", "query_router",
    "prefix",        "schema_name",   "table_name",    "tags",          "default_role",
    "auth_role",     "auth_obj",      "auth_act",      "db_config_name",
};

constexpr const char* merged_attribute_texts[MERGED_ATTRIBUTE_COUNT] = {
    "auth", "auth_role", "auth_obj", "auth_act", "message", "summary",
};

constexpr const char* operation_texts[OPERATION_COUNT] = {"create", "update", "read", "delete", "query"};
constexpr const char* message_texts[OPERATION_COUNT] = {
    "创建成功", "更新成功", "获取成功", "删除成功", "查询成功",
};
constexpr const char* summary_texts[OPERATION_COUNT] = {
    "create - 创建", "update - 更新", "read - 读取 ", "delete - 删除", "query - 查询",
};

bool all_made(std::initializer_list<const OwnedRef*> refs) noexcept
{
    for (const OwnedRef* ref : refs) {
        if (!*ref) {
            return false;
        }
    }
    return true;
}

// `values`, when given, are the call's constant values; otherwise the
// template maps every name to None and each call fills in its own.
bool make_signature(KeywordSignature& signature, OwnedRef names, PyObject* const* values) noexcept
{
    if (!names) {
        return false;
    }
    OwnedRef template_dict = OwnedRef::steal(PyDict_New());
    if (!template_dict) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        PyObject* value = values != nullptr ? values[i] : Py_None;
        if (PyDict_SetItem(template_dict.get(), PyTuple_GET_ITEM(names.get(), i), value) < 0) {
            return false;
        }
    }
    signature.names = std::move(names);
    signature.template_dict = std::move(template_dict);
    signature.template_holds_values = values != nullptr;
    return true;
}

bool make_constants(ModuleState& state) noexcept
{
    for (std::size_t i = 0; i < PARAMETER_COUNT; ++i) {
        if (!(state.parameter_names[i] = interned(parameter_texts[i]))) {
            return false;
        }
    }
    for (std::size_t i = 0; i < MERGED_ATTRIBUTE_COUNT; ++i) {
        if (!(state.merged_attributes[i] = interned(merged_attribute_texts[i]))) {
            return false;
        }
    }
    for (std::size_t i = 0; i < OPERATION_COUNT; ++i) {
        state.default_messages[i] = text(message_texts[i]);
        state.default_summaries[i] = text(summary_texts[i]);
        state.default_actions[i] = interned(operation_texts[i]);
        if (!all_made({&state.default_messages[i], &state.default_summaries[i], &state.default_actions[i]})) {
            return false;
        }
    }
    state.enabled = interned("enabled");
    state.auth_router_name = interned("AuthRouter");
    state.router_config_name = interned("RouterConfig");
    state.generic_controller_name = interned("GenericController");
    state.slash = text("/");
    state.dot = text(".");
    state.version_prefix = text("/v1/");
    state.table_word = text("table");
    state.none_text = text("None");
    state.empty = text("");
    OwnedRef auth_router_keyword = interned("auth_router");
    if (!all_made({&state.enabled, &state.auth_router_name, &state.router_config_name,
                   &state.generic_controller_name, &state.slash, &state.dot, &state.version_prefix,
                   &state.table_word, &state.none_text, &state.empty, &auth_router_keyword})) {
        return false;
    }

    const auto& p = state.parameter_names;
    const auto& m = state.merged_attributes;
    OwnedRef router_config_names = names_tuple({&state.enabled, &m[4], &m[5], &m[0], &m[1], &m[2], &m[3]});
    state.empty_tuple = OwnedRef::steal(PyTuple_New(0));
    if (!router_config_names || !state.empty_tuple ||
        !make_signature(state.auth_router_call,
                        names_tuple({&p[P_PREFIX], &p[P_TAGS], &p[P_DB_CONFIG_NAME], &p[P_DEFAULT_ROLE],
                                     &p[P_AUTH_ROLE], &p[P_AUTH_OBJ], &p[P_AUTH_ACT]}),
                        nullptr) ||
        !make_signature(state.generic_controller_call,
                        names_tuple({&auth_router_keyword, &p[P_MODEL_CLASS], &p[P_CREATE_SCHEMA],
                                     &p[P_UPDATE_SCHEMA], &p[P_RESPONSE_SCHEMA], &p[P_CREATE_ROUTER],
                                     &p[P_UPDATE_ROUTER], &p[P_READ_ROUTER], &p[P_DELETE_ROUTER],
                                     &p[P_QUERY_ROUTER]}),
                        nullptr)) {
        return false;
    }
    // enabled, message, summary, auth, auth_role, auth_obj, auth_act
    for (std::size_t operation = 0; operation < OPERATION_COUNT; ++operation) {
        PyObject* const defaults[] = {
            Py_True, state.default_messages[operation].get(), state.default_summaries[operation].get(),
            Py_True, Py_None, Py_None, state.default_actions[operation].get(),
        };
        if (!make_signature(state.router_config_calls[operation], OwnedRef::borrow(router_config_names.get()),
                            defaults)) {
            return false;
        }
    }
    return true;
}

// --- code objects ---------------------------------------------------------

OwnedRef strings_tuple(std::initializer_list<const char*> texts) noexcept
{
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const char* item : texts) {
        PyObject* name = PyUnicode_InternFromString(item);
        if (name == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), index++, name);
    }
    assert(index == PyTuple_GET_SIZE(tuple.get()));
    return tuple;
}

struct CodeLayout {
    const char* name;
    int positional_count;
    int keyword_only_count;
    int first_line;
    OwnedRef variable_names;
};

// A code object that describes a native function's parameters to
// introspection. Its body only returns None and is never run: calls go to
// the native implementation.
OwnedRef make_code(const CodeLayout& layout) noexcept
{
    // RESUME 0; LOAD_CONST 0 (None); RETURN_VALUE
    static const char body[] = {char(151), 0, char(100), 0, char(83), 0};
    // One location entry without columns: three code units on the first line.
    static const char locations[] = {char(0x80 | (13 << 3) | 2), 0};

    OwnedRef bytecode = OwnedRef::steal(PyBytes_FromStringAndSize(body, sizeof body));
    OwnedRef constants = OwnedRef::steal(PyTuple_Pack(1, Py_None));
    OwnedRef empty_tuple = OwnedRef::steal(PyTuple_New(0));
    OwnedRef file_name = OwnedRef::steal(PyUnicode_FromString(source_file));
    OwnedRef name = OwnedRef::steal(PyUnicode_InternFromString(layout.name));
    OwnedRef line_table = OwnedRef::steal(PyBytes_FromStringAndSize(locations, sizeof locations));
    OwnedRef exception_table = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!all_made({&bytecode, &constants, &empty_tuple, &file_name, &name, &line_table, &exception_table})) {
        return {};
    }
    int local_count = static_cast<int>(PyTuple_GET_SIZE(layout.variable_names.get()));
    return OwnedRef::steal(reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        layout.positional_count, 0, layout.keyword_only_count, local_count, 1, CO_OPTIMIZED | CO_NEWLOCALS,
        bytecode.get(), constants.get(), empty_tuple.get(), layout.variable_names.get(), empty_tuple.get(),
        empty_tuple.get(), file_name.get(), name.get(), name.get(), layout.first_line, line_table.get(),
        exception_table.get())));
}

bool make_code_objects(ModuleState& state) noexcept
{
    CodeLayout create_layout{
        "create", 1, static_cast<int>(PARAMETER_COUNT - 1), 32,
        strings_tuple({"cls", "model_class", "create_schema", "update_schema", "response_schema",
                       "create_router", "update_router", "read_router", "delete_router", "query_router",
                       "prefix", "schema_name", "table_name", "tags", "default_role", "auth_role", "auth_obj",
                       "auth_act", "db_config_name", "_apply_route_config", "_schema_name1", "_schema_name2",
                       "_prefix", "_tag", "_default_role", "_auth_obj", "auth_router", "_create_router",
                       "_update_router", "_read_router", "_delete_router", "_query_router"}),
    };
    CodeLayout merge_layout{
        "_apply_route_config", 2, 0, 102, strings_tuple({"router", "default_router"}),
    };
    if (!create_layout.variable_names || !merge_layout.variable_names) {
        return false;
    }
    state.create_code = make_code(create_layout);
    state.apply_route_config_code = make_code(merge_layout);
    return state.create_code && state.apply_route_config_code;
}

// --- imports ----------------------------------------------------------------

// Takes `name` from an imported module, as `from module import name` does:
// a missing attribute may be a submodule registered under its full name.
OwnedRef import_attribute(PyObject* module, PyObject* name) noexcept
{
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(module, name));
    if (value) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        OwnedRef module_name_object = OwnedRef::steal(PyModule_GetNameObject(module));
        if (module_name_object) {
            OwnedRef full_name = OwnedRef::steal(PyUnicode_FromFormat("%U.%U", module_name_object.get(), name));
            if (full_name) {
                OwnedRef submodule =
                    OwnedRef::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get()));
                if (submodule) {
                    return submodule;
                }
            }
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// `from <level dots><module_path> import <names...>`, storing each name in
// the module namespace before the next is taken.
bool import_names(PyObject* namespace_dict, const char* module_path, int level,
                  std::initializer_list<const char*> names) noexcept
{
    OwnedRef module_path_object = OwnedRef::steal(PyUnicode_FromString(module_path));
    OwnedRef locals = OwnedRef::steal(PyDict_New());
    OwnedRef from_list = OwnedRef::steal(PyList_New(0));
    if (!all_made({&module_path_object, &locals, &from_list})) {
        return false;
    }
    std::array<OwnedRef, 8> name_objects;
    std::size_t count = 0;
    for (const char* name : names) {
        assert(count < name_objects.size());
        name_objects[count] = interned(name);
        if (!name_objects[count] || PyList_Append(from_list.get(), name_objects[count].get()) < 0) {
            return false;
        }
        ++count;
    }
    OwnedRef module = OwnedRef::steal(PyImport_ImportModuleLevelObject(
        module_path_object.get(), namespace_dict, locals.get(), from_list.get(), level));
    if (!module) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        OwnedRef value = import_attribute(module.get(), name_objects[i].get());
        if (!value || PyDict_SetItem(namespace_dict, name_objects[i].get(), value.get()) < 0) {
            return false;
        }
    }
    return true;
}

// --- the class --------------------------------------------------------------

OwnedRef make_kwdefaults(const ModuleState& state) noexcept
{
    OwnedRef kwdefaults = OwnedRef::steal(PyDict_New());
    if (!kwdefaults) {
        return {};
    }
    for (std::size_t i = 1; i < PARAMETER_COUNT; ++i) {
        if (i == P_MODEL_CLASS || i == P_RESPONSE_SCHEMA) {
            continue;
        }
        if (PyDict_SetItem(kwdefaults.get(), state.parameter_names[i].get(), Py_None) < 0) {
            return {};
        }
    }
    return kwdefaults;
}

constexpr const char* annotation_texts[PARAMETER_COUNT] = {
    nullptr,
    "Type[SQLModelDB]",
    "Type[SQLModelCreate]",
    "Type[SQLModelUpdate]",
    "Type[SQLModelResponse]",
    "RouterConfig",
    "RouterConfig",
    "RouterConfig",
    "RouterConfig",
    "RouterConfig",
    "Optional[str]",
    "Optional[str]",
    "Optional[str]",
    "Optional[list]",
    "Optional[str]",
    "Optional[str]",
    "Optional[str]",
    "Optional[str]",
    "Optional[str]",
};

OwnedRef make_annotations(const ModuleState& state) noexcept
{
    OwnedRef annotations = OwnedRef::steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (std::size_t i = 1; i < PARAMETER_COUNT; ++i) {
        OwnedRef annotation = text(annotation_texts[i]);
        if (!annotation || PyDict_SetItem(annotations.get(), state.parameter_names[i].get(), annotation.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) noexcept
{
    return value != nullptr && PyDict_SetItemString(dict, key, value) == 0;
}

OwnedRef make_create_classmethod(const ModuleState& state) noexcept
{
    OwnedRef kwdefaults = make_kwdefaults(state);
    OwnedRef annotations = make_annotations(state);
    OwnedRef name = interned("create");
    OwnedRef qualname = text("AuthController.create");
    OwnedRef module = text(module_name);
    OwnedRef doc = text(create_doc);
    if (!all_made({&kwdefaults, &annotations, &name, &qualname, &module, &doc})) {
        return {};
    }
    if (!ready_native_function_type()) {
        return {};
    }
    NativeFunctionAttributes attributes{
        BorrowedRef(name),   BorrowedRef(qualname), BorrowedRef(module), BorrowedRef(doc),
        BorrowedRef(state.module_dict), BorrowedRef(state.create_code), BorrowedRef(kwdefaults),
        BorrowedRef(annotations),
    };
    OwnedRef function = make_native_function({create_fast_call, create_mapping_call}, attributes);
    if (!function) {
        return {};
    }
    return OwnedRef::steal(PyClassMethod_New(function.get()));
}

bool define_auth_controller(const ModuleState& state, PyObject* namespace_dict) noexcept
{
    OwnedRef class_namespace = OwnedRef::steal(PyDict_New());
    OwnedRef class_module = text(module_name);
    OwnedRef qualname = text("AuthController");
    OwnedRef doc = text(auth_controller_doc);
    if (!class_namespace || !set_item(class_namespace.get(), "__module__", class_module.get()) ||
        !set_item(class_namespace.get(), "__qualname__", qualname.get()) ||
        !set_item(class_namespace.get(), "__doc__", doc.get())) {
        return false;
    }
    OwnedRef create = make_create_classmethod(state);
    if (!set_item(class_namespace.get(), "create", create.get())) {
        return false;
    }
    OwnedRef class_name = text("AuthController");
    OwnedRef bases = OwnedRef::steal(PyTuple_New(0));
    if (!class_name || !bases) {
        return false;
    }
    OwnedRef auth_controller = OwnedRef::steal(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases.get(), class_namespace.get(), nullptr));
    return set_item(namespace_dict, "AuthController", auth_controller.get());
}

// --- create and exec steps ----------------------------------------------------

bool check_interpreter() noexcept
{
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
    } else if (recorded_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

// Copies an attribute of the ModuleSpec into the module namespace; a missing attribute is
// skipped, any other failure ends the create step.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                         bool skip_none) noexcept
{
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItemString(module_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept
{
    if (!check_interpreter()) {
        return nullptr;
    }
    ModuleState& state = module_state();
    if (state.module) {
        return Py_NewRef(state.module.get());
    }
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    OwnedRef module = OwnedRef::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) ||
        !copy_spec_attribute(spec, module_dict, "origin", "__file__", false) ||
        !copy_spec_attribute(spec, module_dict, "parent", "__package__", false) ||
        !copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", true)) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter is not the one the module was built for.
bool check_version() noexcept
{
    int running_major = static_cast<int>((Py_Version >> 24) & 0xff);
    int running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (running_major == built_major && running_minor == built_minor) {
        return true;
    }
    // The warning's established format takes the relation between the two
    // versions as an argument; only a mismatch is checked, so it is constant.
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, module_name, "does not match", running_major, running_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

// Registers the module under its short name unless that key is taken.
bool register_short_name(PyObject* module) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();
    OwnedRef existing = OwnedRef::borrow(PyDict_GetItemString(modules, module_name));
    if (existing) {
        return true;
    }
    return PyDict_SetItemString(modules, module_name, module) == 0;
}

// After a failed exec step the short-name entry must not keep pointing at the
// half-filled module, or a later successful import could never replace it.
void unregister_short_name(PyObject* module) noexcept
{
    PendingException pending;
    PyObject* modules = PyImport_GetModuleDict();
    OwnedRef key = text(module_name);
    if (key) {
        OwnedRef entry = OwnedRef::borrow(PyDict_GetItemWithError(modules, key.get()));
        if (entry.get() == module) {
            PyDict_DelItem(modules, key.get());
        }
    }
}

// Steps that add an "init table_controller" entry when they fail.
bool populate_module(ModuleState& state, PyObject* module) noexcept
{
    PyObject* namespace_dict = state.module_dict.get();
    if (!register_short_name(module)) {
        return false;
    }
    if (!state.create_code && !make_code_objects(state)) {
        return false;
    }
    return import_names(namespace_dict, "typing", 0, {"Type", "Optional"}) &&
           import_names(namespace_dict, "generic_controller", 1, {"GenericController"}) &&
           import_names(namespace_dict, "router_config", 1, {"RouterConfig"}) &&
           import_names(namespace_dict, "auth.auth_router", 2, {"AuthRouter"}) &&
           import_names(namespace_dict, "type.var", 2,
                        {"SQLModelDB", "SQLModelCreate", "SQLModelUpdate", "SQLModelResponse"}) &&
           define_auth_controller(state, namespace_dict);
}

bool initialise_module(ModuleState& state, PyObject* module) noexcept
{
    state.module = OwnedRef::borrow(module);
    state.module_dict = OwnedRef::borrow(PyModule_GetDict(module));
    if (!state.module_dict) {
        return false;
    }
    OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(state.module_dict.get(), "__builtins__", builtins.get()) < 0) {
        return false;
    }
    state.builtins_dict = OwnedRef::borrow(PyModule_GetDict(builtins.get()));
    if (!check_version()) {
        return false;
    }
    if (!state.constants_made) {
        if (!make_constants(state)) {
            return false;
        }
        state.constants_made = true;
    }
    if (!populate_module(state, module)) {
        add_traceback_entry(TracebackSite::module_init);
        return false;
    }
    return true;
}

// The interpreter gives a module object a (here empty) state block before
// its exec step, and forgets the block when the create step hands the same
// object out again for a new import. The module keeps the block it saw last
// and frees a forgotten one, so re-imports do not leak one block each.
void adopt_state_block(PyObject* module) noexcept
{
    static void* adopted_block = nullptr;
    void* block = PyModule_GetState(module);
    if (block == adopted_block) {
        return;
    }
    if (adopted_block != nullptr) {
        PyMem_Free(adopted_block);
    }
    adopted_block = block;
}

int exec_module(PyObject* module) noexcept
{
    ModuleState& state = module_state();
    if (state.module) {
        if (state.module.get() == module) {
            adopt_state_block(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'table_controller' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!initialise_module(state, module)) {
        unregister_short_name(module);
        state.module.reset();
        state.module_dict.reset();
        return -1;
    }
    adopt_state_block(module);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    nullptr,  // no docstring
    0,        // state is process-wide
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace table_controller

PyMODINIT_FUNC PyInit_table_controller(void)
{
    return PyModuleDef_Init(&table_controller::module_definition);
}
