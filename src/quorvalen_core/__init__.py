"""quorvalen_core: publish database tables as permission-checked REST APIs.

Importing this package is cheap on purpose: the web stack is loaded only by
the modules that need it (``quorvalen_core.auth``, ``quorvalen_core.controller``
submodules and ``quorvalen_core.db``).
"""

__version__ = "0.1.0"
