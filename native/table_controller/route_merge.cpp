#include "route_merge.hpp"

#include "module_state.hpp"
#include "traceback.hpp"

namespace table_controller {
namespace {

OwnedRef fail() noexcept
{
    add_traceback_entry(TracebackSite::apply_route_config);
    return {};
}

}  // namespace

OwnedRef apply_route_config(BorrowedRef router, BorrowedRef default_router) noexcept
{
    if (router.get() == Py_None) {
        return OwnedRef::borrow(default_router.get());
    }
    ModuleState& state = module_state();

    OwnedRef enabled = OwnedRef::steal(PyObject_GetAttr(router.get(), state.enabled.get()));
    if (!enabled) {
        return fail();
    }
    if (enabled.get() == Py_False) {
        return OwnedRef::borrow(router.get());
    }

    for (const OwnedRef& attribute : state.merged_attributes) {
        OwnedRef route_value = OwnedRef::steal(PyObject_GetAttr(router.get(), attribute.get()));
        if (!route_value) {
            return fail();
        }
        // The value is read again from whichever object supplies it, so a
        // property or attribute hook sees the same reads whether or not the
        // route had a value of its own.
        BorrowedRef source = route_value.get() == Py_None ? default_router : router;
        route_value.reset();
        OwnedRef chosen = OwnedRef::steal(PyObject_GetAttr(source.get(), attribute.get()));
        if (!chosen) {
            return fail();
        }
        if (PyObject_SetAttr(router.get(), attribute.get(), chosen.get()) < 0) {
            return fail();
        }
    }
    return OwnedRef::borrow(router.get());
}

}  // namespace table_controller
