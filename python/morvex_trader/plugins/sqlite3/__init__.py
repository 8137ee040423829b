"""SQLite persistence plug-in (module db)."""
