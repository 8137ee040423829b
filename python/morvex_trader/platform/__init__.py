"""Stand-ins for what lies outside: the CQGCEL simulator control and the fake Bot API server."""
