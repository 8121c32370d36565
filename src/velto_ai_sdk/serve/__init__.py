"""The analyst in a browser: ``velto-ai serve``.

One page (plain HTML, CSS and JavaScript served from this package, nothing
fetched from elsewhere) where people ask questions about the database,
follow them up, and go back to earlier conversations. While a question is
answered the page shows what the analyst does (reading the schema, running
SQL and how many rows came back, running Python); then the answer, its SQL
and code, each result's first rows with its whole CSV to download, the
charts, and the tokens, cost and seconds it took.

    velto-ai serve --engine postgresql                    # http://127.0.0.1:8750/
    VELTO_SERVE_TOKEN=... velto-ai serve --engine postgresql --host 0.0.0.0

The parts, in the order a request meets them: access.py (the token, the
cross-site rules and the headers of every response), app.py (the routes),
runner.py (the questions answered at once, the others in line), sse.py
(progress as server-sent events), views.py (what the page shows, the
answer's Markdown rendered with HTML turned off), made.py (the images and
result files read for the store) and store.py (SQLAlchemy Core: SQLite by
default, PostgreSQL for several processes). server.py starts it all.

Needs the ``serve`` extra: ``pip install 'velto_ai_sdk[serve]'``.
"""

from .app import Analyst, create_app
from .server import ServeError, run
from .store import Store, StoreError

__all__ = ["Analyst", "ServeError", "Store", "StoreError", "create_app", "run"]
