"""Hints for names that do not exist: made-up tables and columns are what
text-to-SQL models get wrong most, and the server's bare error leaves the
model guessing again.

When the server says a table or column does not exist (each engine's
unknown_name() reads its error), the error line gets the closest names the
catalog holds: "Closest: customer_id (orders), customer_id (customers)".
Columns of the tables the statement names come first, then those in the
schema the missing name was given in (or the default one), then the rest;
within each, the closest first. The catalog is the one the schema reader
keeps for the engine's URL (pool.Target.catalog); when it has not read one
yet, it is read once for the hint and kept there.
"""

from __future__ import annotations

import difflib
import re
from typing import TYPE_CHECKING, Dict, List, Optional, Set, Tuple

from . import pool
from .catalog import Namer, relations_from
from .session import Session, run_call
from .settings import current_settings
from .text import escape_controls

if TYPE_CHECKING:
    from .base import Dialect
    from .catalog import Relation

HINTS = 3
CUTOFF = 0.6  # difflib's similarity, 0 to 1

# What the statement names: plain words and quoted identifiers.
_WORDS = re.compile(r'[^\W\d][\w$]*|"((?:[^"]|"")+)"|`((?:[^`]|``)+)`|\[([^\]]+)\]')

UnknownName = Tuple[str, Optional[str], str]  # ("table" or "column", schema or None, name)


def closest_names(dialect: "Dialect", unknown: UnknownName, sql: str) -> str:
    """' Closest: ...' for the error line, or "" when nothing is close."""
    target = _target_with_catalog(dialect)
    if target is None or not target.catalog:
        return ""
    kind, schema, name = unknown
    namer = Namer(dialect, dialect.default_schema(target))
    home = schema or namer.default
    if kind == "table":
        found = _closest_tables(namer, target.catalog, home, name)
    else:
        found = _closest_columns(namer, target.catalog, home, name, _named_in(sql))
    if not found:
        return ""
    return " Closest: %s." % ", ".join(escape_controls(hint) for hint in found)


def _target_with_catalog(dialect: "Dialect") -> Optional["pool.Target"]:
    try:
        target = pool.target_for(dialect, current_settings(), [])
    except Exception:
        return None
    if target.catalog is None:
        run_call(dialect, read_catalog)  # a failure leaves the catalog unread: no hint
    return target


def read_catalog(session: Session) -> str:
    relation_rows, key_rows = session.dialect.catalog(session)
    session.target.catalog = relations_from(relation_rows, key_rows)
    return ""


def _ranked(word: str, candidates: List[str]) -> Dict[str, float]:
    """The candidates close to `word`, case aside, with their closeness."""
    lowered: Dict[str, List[str]] = {}
    for candidate in candidates:
        lowered.setdefault(candidate.lower(), []).append(candidate)
    close = difflib.get_close_matches(word.lower(), list(lowered), n=HINTS * 3, cutoff=CUTOFF)
    scores = {}
    for match in close:
        score = difflib.SequenceMatcher(None, word.lower(), match).ratio()
        for candidate in lowered[match]:
            scores[candidate] = score
    return scores


def _closest_tables(namer: Namer, relations: List["Relation"], home: Optional[str], name: str) -> List[str]:
    scores = _ranked(name, [rel.name for rel in relations])
    found = [rel for rel in relations if rel.name in scores]
    found.sort(key=lambda rel: (rel.schema != home, -scores[rel.name]))
    return [namer.relation(rel) for rel in found[:HINTS]]


def _closest_columns(namer: Namer, relations: List["Relation"], home: Optional[str], name: str,
                     named: Set[str]) -> List[str]:
    scores = _ranked(name, sorted({column.name for rel in relations for column in rel.columns}))
    found = [(rel, column.name) for rel in relations for column in rel.columns if column.name in scores]
    found.sort(key=lambda pair: (pair[0].name.lower() not in named, pair[0].schema != home, -scores[pair[1]]))
    return ["%s (%s)" % (namer.column(column), namer.relation(rel)) for rel, column in found[:HINTS]]


def _named_in(sql: str) -> Set[str]:
    """The words and quoted identifiers of a statement, lower case."""
    named = set()
    for match in _WORDS.finditer(sql):
        quoted = match.group(1) or match.group(2) or match.group(3)
        named.add((quoted if quoted is not None else match.group()).lower())
    return named
