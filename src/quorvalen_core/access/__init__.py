"""Who may do what: roles and permissions stored in the database, tokens, and the row access of a caller.

Nothing here imports FastAPI: the policy store, its command line
(``python -m quorvalen_core.auth``) and a script deciding for a caller use
it as they are.  The web layer (:mod:`quorvalen_core.web`) guards routes
with it.
"""
