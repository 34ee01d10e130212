"""An example application: one table published with ``AuthController.create``.

Run it with ``bash scripts/demo.sh`` (or ``python -m quorvalen_core.demo`` in
an environment where the package is installed).
"""
