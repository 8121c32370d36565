"""An answer as a notebook shows it: the answer's words, each statement
(collapsed) with the first rows of its result as a table, each script
(collapsed) with its output, the images inline, and what it cost.

Every piece of text from the model or the database is escaped for HTML (and
its control characters written out, shown.py): a value such as
<img src=x onerror=alert(1)> shows as those characters. Images are read as
images.py allows (only plain files under the media directory whose bytes
say PNG, JPEG, GIF or WebP) and embedded as data, so the notebook keeps them.
"""

from __future__ import annotations

import base64
import html
from typing import TYPE_CHECKING, List

from . import images
from .results import read_table
from .shown import visible

if TYPE_CHECKING:
    from .answer import Answer, Query, Script

PREVIEW_ROWS = 10

_BOX = "font-family: system-ui, sans-serif; line-height: 1.4; max-width: 60em"
_PRE = ("white-space: pre-wrap; background: #f6f8fa; color: #24292f; padding: 0.5em; margin: 0.3em 0;"
        " border-radius: 4px; font-size: 0.9em")
_FAINT = "color: #6a737d; font-size: 0.85em"
_CELL = "text-align: left; padding: 0.15em 1em 0.15em 0; border-bottom: 1px solid #e1e4e8"


def text(value: str) -> str:
    """Model or database text as HTML text: escaped, controls written out."""
    return html.escape(visible(value), quote=True)


def answer_html(answer: "Answer") -> str:
    parts = ['<div class="velto-answer" style="%s">' % _BOX]
    if answer.message:
        parts.append('<div style="white-space: pre-wrap">%s</div>' % text(answer.message))
    if answer.error is not None:
        parts.append('<div style="color: #b00020; white-space: pre-wrap"><b>No answer:</b> %s</div>'
                     % text(answer.error))
    for number, query in enumerate(answer.queries, 1):
        parts.extend(_query(number, query))
    for number, script in enumerate(answer.scripts, 1):
        parts.extend(_script(number, script))
    for path in answer.images:
        parts.append(_image(answer.media_path, path))
    parts.append('<div style="%s">%s</div>' % (_FAINT, html.escape(_figures(answer))))
    parts.append("</div>")
    return "\n".join(parts)


def _query(number: int, query: "Query") -> List[str]:
    outcome = "failed" if query.failed else "%.2f s" % query.seconds
    parts = ['<details><summary>SQL %d <span style="%s">(%s, %s)</span></summary>' % (
        number, _FAINT, text(query.engine), outcome),
        '<pre style="%s">%s</pre></details>' % (_PRE, text(query.sql))]
    table = read_table(query.result)
    if table is None:
        parts.append('<pre style="%s">%s</pre>' % (_PRE, text(query.result)))
        return parts
    rows = ["<tr>%s</tr>" % "".join('<th style="%s">%s</th>' % (_CELL, text(name)) for name in table.columns)]
    for row in table.rows[:PREVIEW_ROWS]:
        rows.append("<tr>%s</tr>" % "".join(
            '<td style="%s"><i style="%s">NULL</i></td>' % (_CELL, _FAINT) if cell is None
            else '<td style="%s">%s</td>' % (_CELL, text(cell)) for cell in row))
    note = table.note
    if len(table.rows) > PREVIEW_ROWS:
        note = "first %d rows shown here; %s" % (PREVIEW_ROWS, note)
    parts.append('<table style="border-collapse: collapse; margin: 0.3em 0"><caption style="%s; caption-side: '
                 'bottom; text-align: left">%s</caption>%s</table>' % (_FAINT, text(note), "".join(rows)))
    return parts


def _script(number: int, script: "Script") -> List[str]:
    outcome = "failed" if script.failed else "%.2f s" % script.seconds
    return ['<details><summary>Python %d <span style="%s">(%s)</span></summary>' % (number, _FAINT, outcome),
            '<pre style="%s">%s</pre>' % (_PRE, text(script.code)),
            '<pre style="%s">%s</pre></details>' % (_PRE, text(script.output or "(no output)"))]


def _image(media_path: str, path: str) -> str:
    found = images.read_image(media_path, path) if media_path else None
    caption = '<div style="%s">%s</div>' % (_FAINT, text(path))
    if found is None:
        return caption
    kind, data = found
    return '<figure style="margin: 0.5em 0"><img src="data:%s;base64,%s" alt="%s" style="max-width: 100%%">%s' \
           '</figure>' % (kind, base64.b64encode(data).decode("ascii"), text(path), caption)


def _figures(answer: "Answer") -> str:
    return "%s tokens, $%.4f, %.1f s" % (format(answer.tokens, ","), answer.cost, answer.seconds)
