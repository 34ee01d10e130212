"""Stands in the place of the native ``table_controller`` module where it is not built.

The module is a C++ extension (sources in ``native/table_controller/`` of the
repository), installed beside this file as
``table_controller.cpython-311-<platform>.so``.  The import system tries
extension modules before source files in a folder, so this file only runs
where no extension for the running interpreter is there: a source checkout
put on the path as it is (``PYTHONPATH=src``), or an installation built for
another platform.  It fails the import with the way to a built module.
"""

from importlib.machinery import EXTENSION_SUFFIXES

raise ImportError(
    f"{__name__} is a native extension module and no build of it for this interpreter "
    f"(table_controller{EXTENSION_SUFFIXES[0]}) is installed beside {__file__}. "
    "Build and install the package from the repository root (python -m pip install ., "
    "or bash scripts/test.sh, which does it in .venv) and import it from there, "
    "not from the source tree.",
    name=__name__,
    path=__file__,
)
