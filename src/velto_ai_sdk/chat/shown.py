"""Text from the model or the database, made fit to show a person.

Whatever the model writes, or a row holds, is shown as text and never acts:
control characters (terminal escapes, bells, carriage returns that overwrite
a line, the bidirectional marks that reorder what a reader sees) are written
out as escapes, by the rule the database tools use for result text; line
breaks stay line breaks and tabs become spaces. Markup for a page or a
terminal is escaped where it is made (notebook.py, the terminal's render).
"""

from __future__ import annotations

from ..sqltool.text import escape_controls


def visible(text: str) -> str:
    lines = text.replace("\r\n", "\n").split("\n")
    return "\n".join(escape_controls(line.expandtabs(4)) for line in lines)
