#include "traceback.hpp"

#include "module_state.hpp"
#include "refs.hpp"

#include <frameobject.h>

#include <cassert>

namespace table_controller {
namespace {

struct SiteDescription {
    const char* function_name;
    int line;
};

constexpr const char* source_file = "table_controller.py";

SiteDescription describe(TracebackSite site) noexcept
{
    switch (site) {
    case TracebackSite::module_init:
        return {"init table_controller", 1};
    case TracebackSite::create:
        return {"table_controller.AuthController.create", 32};
    case TracebackSite::apply_route_config:
        return {"table_controller.AuthController.create._apply_route_config", 102};
    }
    return {"table_controller", 1};
}

// The code objects are made on first use and kept: an error path should not
// pay for building them again, and they never change.
constexpr int site_count = 3;

OwnedRef& cached_code(TracebackSite site) noexcept
{
    static OwnedRef* codes = new OwnedRef[site_count];
    assert(static_cast<int>(site) >= 0 && static_cast<int>(site) < site_count);
    return codes[static_cast<int>(site)];
}

}  // namespace

void add_traceback_entry(TracebackSite site) noexcept
{
    assert(PyErr_Occurred());
    // Building the code object and frame must not run with the exception
    // pending, so it is set aside and restored before the entry is added.
    PendingException pending;

    OwnedRef& code = cached_code(site);
    if (!code) {
        SiteDescription description = describe(site);
        code = OwnedRef::steal(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty(source_file, description.function_name, description.line)));
    }

    OwnedRef frame;
    if (code) {
        PyObject* globals = module_state().module_dict.get();
        OwnedRef fallback_globals;
        if (globals == nullptr) {
            fallback_globals = OwnedRef::steal(PyDict_New());
            globals = fallback_globals.get();
        }
        if (globals != nullptr) {
            frame = OwnedRef::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
        }
    }
    // A failure to build the entry must not replace the exception that is
    // being reported: drop it and report the original without the entry.
    pending.restore();
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace table_controller
