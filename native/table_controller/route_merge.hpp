// The merge of one operation's route settings over its defaults.
#pragma once

#include "refs.hpp"

namespace table_controller {

// Returns the settings the operation uses: `default_router` when `router` is
// None; `router` unchanged when its `enabled` is the False object; otherwise
// `router`, with each of auth, auth_role, auth_obj, auth_act, message and
// summary that it left at None filled in from `default_router` (every one of
// the six is assigned, set values back to themselves).
// Returns an empty owner with the exception set on failure; assignments made
// before the failure stay on `router`.
OwnedRef apply_route_config(BorrowedRef router, BorrowedRef default_router) noexcept;

}  // namespace table_controller
