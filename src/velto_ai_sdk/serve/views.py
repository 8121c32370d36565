"""What the page shows of a turn, its answer and its progress, as JSON-ready
values the page puts into the document as text.

The one piece of HTML made here is the answer's Markdown, rendered by
markdown-it with raw HTML turned off: every "<" the model or the data
writes comes out escaped, links to javascript: or data: are not made, and
Markdown images are not rendered (an image URL from the model would send
data to wherever it points). Every other text goes to the page as a string
that the page sets as text. Control characters (terminal escapes, the
marks that reorder what a reader sees) are written out first (chat.shown).
"""

from __future__ import annotations

import os
from typing import Any, Dict, List, Mapping, Optional

from markdown_it import MarkdownIt

from ..chat import Answer
from ..chat.events import ACTIVITIES
from ..chat.results import read_table
from ..chat.shown import visible

PREVIEW_ROWS = 20
LINK_REL = "noopener noreferrer nofollow"

_markdown = MarkdownIt("commonmark", {"html": False, "linkify": False, "typographer": False})
_markdown.enable(["table", "strikethrough"]).disable("image")


def markdown_html(text: str) -> str:
    tokens = _markdown.parse(visible(text))
    for token in tokens:
        for child in token.children or ():
            if child.type == "link_open":
                child.attrSet("rel", LINK_REL)
                child.attrSet("target", "_blank")
    return _markdown.renderer.render(tokens, _markdown.options, {})


# -- a turn ------------------------------------------------------------------------------


def turn_view(turn: Mapping[str, Any]) -> Dict[str, Any]:
    view: Dict[str, Any] = {"id": turn["id"], "number": turn["number"], "question": turn["question"],
                            "state": turn["state"], "created": turn["created"], "started": turn["started"],
                            "finished": turn["finished"], "error": None, "answer": None}
    if turn["state"] == "interrupted":
        view["error"] = turn["error"]
    if turn["answer"] is not None:
        view["answer"] = answer_view(Answer.from_dict(turn["answer"]), turn["files"])
    return view


def answer_view(answer: Answer, files: List[Mapping[str, Any]]) -> Dict[str, Any]:
    images = {entry["name"]: entry for entry in files if entry["kind"] == "image"}
    results = {entry["name"]: entry for entry in files if entry["kind"] == "csv"}
    return {
        "html": markdown_html(answer.message) if answer.text else "",
        "error": None if answer.error is None else visible(answer.error),
        "queries": [_query(query, results.get(query.file or "")) for query in answer.queries],
        "scripts": [{"code": visible(script.code), "output": visible(script.output), "seconds": script.seconds,
                     "failed": script.failed} for script in answer.scripts],
        "images": [{"id": images[path]["id"], "name": visible(os.path.basename(path))}
                   for path in answer.images if path in images and images[path]["kept"]],
        "tokens": answer.tokens,
        "cost": answer.cost,
        "seconds": answer.seconds,
    }


def _query(query: Any, result: Optional[Mapping[str, Any]]) -> Dict[str, Any]:
    view: Dict[str, Any] = {"sql": visible(query.sql), "engine": query.engine, "seconds": query.seconds,
                            "failed": query.failed, "table": None, "text": None, "csv": None}
    table = read_table(query.result)
    if table is None:
        view["text"] = visible(query.result)
    else:
        view["table"] = {
            "columns": [visible(name) for name in table.columns],
            "rows": [[None if cell is None else visible(cell) for cell in row] for row in table.rows[:PREVIEW_ROWS]],
            "more": len(table.rows) > PREVIEW_ROWS,
            "note": visible(table.note),
        }
    if result is not None:
        view["csv"] = {"id": result["id"] if result["kept"] else None, "size": result["size"]}
    return view


# -- progress ---------------------------------------------------------------------------------


def progress_view(data: Mapping[str, Any]) -> Optional[Dict[str, Any]]:
    """What the page shows for one stored event: ``activity``, the words for
    what is going on now, and ``step``, a line of the list of steps (by its
    ``key``, so that a step's end updates its start's line); None for an
    event the page has nothing to show for."""
    kind = data.get("type")
    if kind == "queued":
        ahead = data["position"]
        words = "next in line" if ahead == 0 else "%d question%s ahead" % (ahead, "" if ahead == 1 else "s")
        return {"activity": "Waiting for a free slot: " + words, "step": None, "queued": ahead}
    if kind == "question_started":
        carried = data.get("carried", 0)
        return {"activity": "Starting", "step": None, "carried": carried}
    if kind == "model_call_started":
        return {"activity": "Thinking", "step": None}
    if kind == "model_call_ended" and data.get("error"):
        return {"activity": "The model failed", "step": {
            "key": "model-%d" % data["call"], "text": "The model failed", "detail": visible(data["error"]),
            "status": "failed", "summary": ""}}
    if kind == "tool_call_started":
        words = ACTIVITIES.get(data["kind"], "running " + data["tool"])
        return {"activity": words[:1].upper() + words[1:], "step": {
            "key": "tool-%d" % data["call"], "text": words[:1].upper() + words[1:],
            "detail": visible(data["input"]).strip("\n"),
            "status": "running", "summary": ""}}
    if kind == "tool_call_ended":
        return {"activity": "Thinking", "step": {
            "key": "tool-%d" % data["call"], "status": "failed" if data["failed"] else "done",
            "summary": "%s \u00b7 %.2f s" % (visible(data["summary"]), data["seconds"])}}
    if kind == "image_made":
        name = visible(os.path.basename(data["path"]))
        return {"activity": None, "step": {"key": "image-" + name, "text": "Made an image", "detail": name,
                                           "status": "done", "summary": ""}}
    if kind == "failed":
        return {"activity": "No answer", "step": {
            "key": "failed", "text": "No answer", "detail": visible(data["error"]), "status": "failed",
            "summary": ""}}
    return None
