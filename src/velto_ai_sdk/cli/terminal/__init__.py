"""The analyst in a terminal: ``velto-ai chat`` (session.py), the progress
line (progress.py), answers drawn with rich (render.py) and the verbose
trace made fit for a terminal or a file (streams.py)."""

from .progress import EventRelay, ProgressLine, ask_with_progress
from .session import Chat, terminal_lines
from .streams import TraceStream

__all__ = ["Chat", "EventRelay", "ProgressLine", "TraceStream", "ask_with_progress", "terminal_lines"]
