"""Authentication and authorisation for generated routers."""
