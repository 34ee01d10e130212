// Process-wide state of the table_controller module.
//
// The module keeps no per-module state: at most one initialised module object
// exists per process, and the strings and code objects below are made once by
// its exec step and kept for the life of the process.
#pragma once

#include "refs.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace table_controller {

// Parameters of AuthController.create, in declaration order.
enum Parameter : std::size_t {
    P_CLS,
    P_MODEL_CLASS,
    P_CREATE_SCHEMA,
    P_UPDATE_SCHEMA,
    P_RESPONSE_SCHEMA,
    P_CREATE_ROUTER,
    P_UPDATE_ROUTER,
    P_READ_ROUTER,
    P_DELETE_ROUTER,
    P_QUERY_ROUTER,
    P_PREFIX,
    P_SCHEMA_NAME,
    P_TABLE_NAME,
    P_TAGS,
    P_DEFAULT_ROLE,
    P_AUTH_ROLE,
    P_AUTH_OBJ,
    P_AUTH_ACT,
    P_DB_CONFIG_NAME,
    PARAMETER_COUNT
};

// The merged attributes of a route settings object, in merge order.
inline constexpr std::size_t MERGED_ATTRIBUTE_COUNT = 6;

// The five operations, in the order the factory handles them.
inline constexpr std::size_t OPERATION_COUNT = 5;

// A cached answer of one place's name lookup: valid while neither the module
// namespace nor the builtins namespace has changed since it was filled. The
// value is borrowed: while the versions are unchanged the namespace that
// answered still holds it, and a rebound or deleted collaborator is not kept
// alive by the cache.
struct NameCache {
    std::uint64_t globals_version = 0;
    std::uint64_t builtins_version = 0;
    BorrowedRef value;
};

// The keyword names of one collaborator call, in call order, and the same
// names as a dict. A callee without vectorcall takes its keywords as a dict
// anyway; copying the template and filling in the values is cheaper than
// building that dict key by key.
struct KeywordSignature {
    OwnedRef names;          // tuple of interned str
    OwnedRef template_dict;  // names -> None, or the call's constant values
    bool template_holds_values = false;
};

struct ModuleState {
    // Parameter names by Parameter index, interned.
    std::array<OwnedRef, PARAMETER_COUNT> parameter_names;

    // Route settings attributes.
    OwnedRef enabled;
    std::array<OwnedRef, MERGED_ATTRIBUTE_COUNT> merged_attributes;  // auth .. summary

    // Collaborator names.
    OwnedRef auth_router_name;
    OwnedRef router_config_name;
    OwnedRef generic_controller_name;

    // The keywords of the three collaborator calls.
    KeywordSignature auth_router_call;
    std::array<KeywordSignature, OPERATION_COUNT> router_config_calls;  // template holds the defaults
    KeywordSignature generic_controller_call;
    OwnedRef empty_tuple;

    // Per-operation default texts and actions, in operation order.
    std::array<OwnedRef, OPERATION_COUNT> default_messages;
    std::array<OwnedRef, OPERATION_COUNT> default_summaries;
    std::array<OwnedRef, OPERATION_COUNT> default_actions;

    // Literal texts of the naming scheme.
    OwnedRef slash;
    OwnedRef dot;
    OwnedRef version_prefix;  // "/v1/"
    OwnedRef table_word;      // "table"
    OwnedRef none_text;       // "None"
    OwnedRef empty;

    // Code objects describing create and its local merge function.
    OwnedRef create_code;
    OwnedRef apply_route_config_code;

    // Set while a module object is (being) initialised; see the exec step.
    OwnedRef module;
    OwnedRef module_dict;
    OwnedRef builtins_dict;

    // One cache per place a collaborator is looked up: the router, the five
    // defaults and the controller.
    NameCache auth_router_cache;
    std::array<NameCache, OPERATION_COUNT> router_config_caches;
    NameCache generic_controller_cache;

    bool constants_made = false;
};

ModuleState& module_state() noexcept;

}  // namespace table_controller
