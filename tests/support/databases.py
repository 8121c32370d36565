"""Real PostgreSQL and MariaDB servers for the tests (filled in with the connectors)."""
