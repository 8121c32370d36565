"""The schema text: tables and views within a size budget.

Structure comes first, in catalog order, as far as the budget goes; then
sample rows for the tables shown, as far as they go; a closing note names
what was left out. The catalog is read in a fixed handful of queries, and the
samples in one query per SAMPLE_TABLES_PER_QUERY tables, each value cut short
by the server so that wide rows cost little.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from .text import ELLIPSIS, escape_controls, shorten

if TYPE_CHECKING:
    from .session import Session

SAMPLE_ROWS = 3
SAMPLE_VALUE_CHARS = 40
SAMPLE_COLUMNS = 20
SAMPLE_TABLES_PER_QUERY = 100
SAMPLE_ROW_CHARS = 2000


class Column:
    __slots__ = ("name", "type", "not_null")

    def __init__(self, name: str, type_: str, not_null: bool) -> None:
        self.name = name
        self.type = type_
        self.not_null = not_null


class Relation:
    def __init__(self, schema: str, name: str, kind: str, rows: Optional[int]) -> None:
        self.schema = schema
        self.name = name
        self.kind = kind
        self.rows = rows
        self.columns: List[Column] = []
        self.primary_key: Optional[str] = None
        self.foreign_keys: List[str] = []
        self.samples: List[str] = []
        self._structure: Optional[str] = None

    @property
    def full_name(self) -> str:
        return "%s.%s" % (self.schema, self.name)

    def structure(self) -> str:
        if self._structure is None:
            self._structure = self._make_structure()
        return self._structure

    def _make_structure(self) -> str:
        # names come from the catalog, which the model's account may have written
        e = escape_controls
        head = "%s %s" % (self.kind.upper(), e(self.full_name))
        if self.rows is not None and self.rows >= 0:
            head += " (~%s row%s)" % (format(int(self.rows), ","), "" if self.rows == 1 else "s")
        lines = [head, "  columns: " + ", ".join(
            "%s %s%s" % (e(c.name), e(c.type), " NOT NULL" if c.not_null else "") for c in self.columns)]
        if self.primary_key:
            lines.append("  primary key: " + e(self.primary_key))
        for fk in self.foreign_keys:
            lines.append("  foreign key: " + e(fk))
        return "\n".join(lines) + "\n"

    def sample_text(self) -> str:
        if not self.samples:
            return ""
        return "  sample rows:\n" + "".join("    %s\n" % row for row in self.samples)


def _text(value: Any) -> str:
    if type(value) is str:
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return "" if value is None else str(value)


def relations_from(relation_rows: Sequence[Tuple], key_rows: Sequence[Tuple]) -> List[Relation]:
    relations: Dict[Tuple[str, str], Relation] = {}
    order: List[Relation] = []
    rel = None
    last: Tuple[Any, Any] = (None, None)
    # rows come ordered by relation, so a new relation starts where the name changes
    for schema, name, kind, rows, column, type_, not_null in relation_rows:
        if rel is None or (schema, name) != last:
            last = (schema, name)
            key = (_text(schema), _text(name))
            rel = relations.get(key)
            if rel is None:
                rel = Relation(key[0], key[1], _text(kind), int(rows) if rows is not None else None)
                relations[key] = rel
                order.append(rel)
        if type(column) is not str or type(type_) is not str:
            column, type_ = _text(column), _text(type_)
        rel.columns.append(Column(column, type_, bool(not_null)))

    grouped: Dict[Tuple[str, str, str], List[Tuple]] = {}
    for row in key_rows:
        grouped.setdefault((_text(row[0]), _text(row[1]), _text(row[2])), []).append(row)
    for gkey, rows_of_key in grouped.items():
        rel = relations.get(gkey[:2])
        if rel is None:
            continue
        columns = ", ".join(_text(r[4]) for r in rows_of_key)
        if _text(rows_of_key[0][3]) == "PK":
            rel.primary_key = columns
        else:
            ref_columns = ", ".join(_text(r[7]) for r in rows_of_key)
            rel.foreign_keys.append("%s -> %s.%s (%s)" % (
                columns, _text(rows_of_key[0][5]), _text(rows_of_key[0][6]), ref_columns))
    return order


# -- samples -------------------------------------------------------------------


def read_samples(session: "Session", tables: List[Relation]) -> None:
    """Sample rows for many tables in few statements."""
    # Views and foreign tables can cost anything to read; tables cost three rows.
    indexed = [(i, t) for i, t in enumerate(tables) if t.kind in ("table", "materialized view") and t.columns]
    for start in range(0, len(indexed), SAMPLE_TABLES_PER_QUERY):
        batch = indexed[start: start + SAMPLE_TABLES_PER_QUERY]
        try:
            _sample_batch(session, tables, batch)
        except Exception as exc:
            if session.discard or session.dialect.is_time_limit(exc):
                continue  # retrying table by table could take the limit a hundred times
            # one unreadable table (row security that fails, say) should not
            # cost the others their samples
            for one in batch:
                try:
                    _sample_batch(session, tables, [one], careful=True)
                except Exception:
                    if session.discard:
                        break


def _sample_batch(session: "Session", tables: List[Relation], batch: List[Tuple[int, Relation]],
                  careful: bool = False) -> None:
    dialect = session.dialect
    for index, text in dialect.sample_rows(session, dialect.sample_query(batch, careful)):
        shown = []
        for value in dialect.sample_values(_text(text), careful)[:SAMPLE_COLUMNS]:
            if value is None:
                shown.append("NULL")
            else:
                # the server cut each value (or the row) short already
                shown.append(shorten(escape_controls(value), SAMPLE_VALUE_CHARS)[0])
        table = tables[int(index)]
        if len(table.columns) > SAMPLE_COLUMNS:
            shown.append(ELLIPSIS)
        table.samples.append(" | ".join(shown))


# A field of PostgreSQL's row text "(1,,"a ""b""",x)": quoted (quotes and
# backslashes doubled inside), or bare, where empty means NULL. Each match
# takes one field and the comma after it.
_RECORD_FIELD = re.compile(r'(?:(")((?:[^"\\]|""|\\.)*)"?|([^,]*))(?:,|$)', re.S)
_RECORD_UNESCAPE = re.compile(r'""|\\(.)', re.S)


def _unescape(match: "re.Match[str]") -> str:
    return match.group(1) or '"'


def record_values(text: str, cut_at: int) -> List[Optional[str]]:
    """The fields of PostgreSQL's text form of a row, which the server cut at
    `cut_at` characters."""
    if not text.startswith("("):
        return [text]
    cut = len(text) >= cut_at
    inner = text[1:] if cut else text[1:-1]
    if '"' not in inner:
        values: List[Optional[str]] = [v or None for v in inner.split(",")]
    else:
        fields = _RECORD_FIELD.findall(inner)
        if fields and fields[-1] == ("", "", "") and not inner.endswith(","):
            fields.pop()  # the empty match at the very end, not a field
        values = [
            (_RECORD_UNESCAPE.sub(_unescape, q) if ("\\" in q or '""' in q) else q) if mark else (b or None)
            for mark, q, b in fields
        ]
    if cut and values and values[-1] is not None:
        values[-1] += ELLIPSIS  # the server cut the row here
    return values


# -- the text --------------------------------------------------------------------


def schema_text(header: str, relations: List[Relation], budget: int,
                sampler: Callable[[List[Relation]], None]) -> str:
    tables = sum(1 for r in relations if r.kind != "view")
    views = len(relations) - tables
    intro = escape_controls(
        "%s: %d table%s, %d view%s. Columns are nullable unless marked NOT NULL; "
        "row counts are estimates." % (header, tables, "" if tables == 1 else "s", views, "" if views == 1 else "s")
    ) + "\n\n"
    if not relations:
        return intro + "No tables or views that this user can read."
    reserve = min(2000, budget // 5)
    used = len(intro)
    shown: List[Relation] = []
    left_out: List[Relation] = []
    for rel in relations:
        size = len(rel.structure())
        if not left_out and used + size <= budget - reserve:
            shown.append(rel)
            used += size
        else:
            left_out.append(rel)

    sampler(shown)
    no_samples = 0
    for rel in shown:
        size = len(rel.sample_text())
        if not size:
            continue
        if not no_samples and used + size <= budget - reserve:
            used += size
        else:
            rel.samples = []
            no_samples += 1

    closing = ""
    if no_samples:
        closing = "Sample rows left out for %d tables to stay within the size budget.\n" % no_samples
    if left_out:
        closing = _left_out_note(left_out, len(relations), budget, used, closing) + closing

    parts = [intro]
    for rel in shown:
        parts.append(rel.structure())
        parts.append(rel.sample_text())
    parts.append(closing)
    return "".join(parts).rstrip("\n")


def _left_out_note(left_out: List[Relation], total: int, budget: int, used: int, closing: str) -> str:
    head = "\nLeft out to stay within %d characters: %d of %d tables and views: " % (budget, len(left_out), total)
    names: List[str] = []
    for count, rel in enumerate(left_out):
        rest = len(left_out) - count - 1
        name = escape_controls(rel.full_name)
        candidate = ", ".join(names + [name]) + (", and %d more" % rest if rest else "")
        if used + len(head) + len(candidate) + 2 + len(closing) > budget:
            break
        names.append(name)
    missing = len(left_out) - len(names)
    listed = ", ".join(names) + ((", and %d more" if names else "%d more") % missing if missing else "")
    return head + listed + ".\n"


def read_schema(session: "Session") -> str:
    dialect = session.dialect
    header = dialect.schema_header(session)
    relation_rows, key_rows = dialect.catalog(session)
    relations = relations_from(relation_rows, key_rows)
    session.target.catalog = relations
    return schema_text(header, relations, session.settings.schema_max_chars,
                       lambda shown: read_samples(session, shown))
