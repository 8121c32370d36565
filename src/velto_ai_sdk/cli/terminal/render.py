"""An answer as a terminal shows it, with rich: the answer's words, the
first rows of each result as a table, the images as paths, and a line of
figures; the SQL and the scripts highlighted when asked for (/sql, /code).

Text from the model or the database goes into rich as Text, never as
markup, with its control characters written out (chat/shown.py): a cell
cannot move the cursor, clear the screen or make a link.
"""

from __future__ import annotations

from typing import List, Optional

from rich.console import Group, RenderableType
from rich.syntax import Syntax
from rich.table import Table
from rich.text import Text

from ...chat.answer import Answer
from ...chat.results import read_table
from ...chat.shown import visible

PREVIEW_ROWS = 10


def shown(value: str, style: str = "") -> Text:
    return Text(visible(value), style=style)


def answer(found: Answer) -> RenderableType:
    parts: List[RenderableType] = []
    if found.message and found.message != found.error:
        parts.append(shown(found.message))
    if found.error is not None:
        parts.append(Text.assemble(("No answer: ", "bold red"), shown(found.error, "red")))
    for query in found.queries:
        table = result_table(query.result)
        if table is not None:
            parts.append(table)
    for path in found.images:
        parts.append(Text.assemble(("Image: ", "bold"), shown(path)))
    parts.append(Text(figures(found), style="dim"))
    return Group(*parts)


def result_table(result: str) -> Optional[Table]:
    found = read_table(result)
    if found is None:
        return None
    note = found.note
    if len(found.rows) > PREVIEW_ROWS:
        note = "first %d shown here; %s" % (PREVIEW_ROWS, note)
    table = Table(caption=shown(note), caption_justify="left", show_edge=False, header_style="bold")
    for name in found.columns:
        table.add_column(shown(name), overflow="fold")
    for row in found.rows[:PREVIEW_ROWS]:
        table.add_row(*(Text("NULL", style="dim italic") if cell is None else shown(cell) for cell in row))
    return table


def figures(found: Answer) -> str:
    counts = []
    if found.queries:
        counts.append(_count(len(found.queries), "statement") + " (/sql)")
    if found.scripts:
        counts.append(_count(len(found.scripts), "script") + " (/code)")
    counts.append("%s tokens" % format(found.tokens, ","))
    counts.append("$%.4f" % found.cost)
    counts.append("%.1f s" % found.seconds)
    return " \u00b7 ".join(counts)


def statements(found: Answer) -> RenderableType:
    if not found.queries:
        return Text("The last answer ran no SQL.", style="dim")
    parts: List[RenderableType] = []
    for number, query in enumerate(found.queries, 1):
        parts.append(Text("SQL %d (%s, %.2f s)" % (number, query.engine, query.seconds), style="bold"))
        parts.append(Syntax(visible(query.sql.strip("\n")), "sql", word_wrap=True, background_color="default"))
        if query.failed:
            parts.append(shown(query.result, "red"))
        elif query.file:
            parts.append(Text.assemble(("All rows: ", "dim"), shown(query.file, "dim")))
    return Group(*parts)


def scripts(found: Answer) -> RenderableType:
    if not found.scripts:
        return Text("The last answer ran no Python.", style="dim")
    parts: List[RenderableType] = []
    for number, script in enumerate(found.scripts, 1):
        parts.append(Text("Python %d (%.2f s)" % (number, script.seconds), style="bold"))
        parts.append(Syntax(visible(script.code.strip("\n")), "python", word_wrap=True, background_color="default"))
        parts.append(shown(script.output.rstrip("\n") or "(no output)", "red" if script.failed else "dim"))
    return Group(*parts)


def _count(number: int, noun: str) -> str:
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")
