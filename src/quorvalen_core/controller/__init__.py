"""Controllers that turn a table model into REST endpoints.

``table_controller`` (native) offers ``AuthController.create``; the Python
modules beside it are the pieces it drives.
"""
