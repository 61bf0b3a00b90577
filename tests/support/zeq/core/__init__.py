"""Stand-ins for the host application's core services (test support only)."""
