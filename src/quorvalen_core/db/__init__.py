"""Named databases shared by the routers and controllers of an application."""
