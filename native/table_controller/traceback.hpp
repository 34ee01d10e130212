// Traceback entries that name the module's functions.
//
// The module's functions have no Python frames of their own; when a failure
// passes through one of them, an entry naming it is added to the pending
// exception's traceback so that the caller sees where it happened.
#pragma once

namespace table_controller {

enum class TracebackSite {
    module_init,         // "init table_controller"
    create,              // "table_controller.AuthController.create"
    apply_route_config,  // "table_controller.AuthController.create._apply_route_config"
};

// Adds the entry for `site` to the traceback of the exception being raised.
// Must be called with an exception set; leaves that exception set.
void add_traceback_entry(TracebackSite site) noexcept;

}  // namespace table_controller
