"""Stand-ins for the host application's models (test support only)."""
