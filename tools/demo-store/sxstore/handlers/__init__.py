"""Store actions and routes. Every module in this package is imported when
the store starts; each registers what it serves (see sxstore.registry)."""
