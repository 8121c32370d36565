"""The schema text: tables and views within a size budget.

Structure comes first, as far as the budget goes; then sample rows for the
tables shown, as far as they go; a closing note names what was left out.
When not everything fits, the tables kept are the ones a question most
likely needs: taken in turn from those most referenced by foreign keys (the
entities: customers, products) and those with the most rows (the facts:
orders, events), then the rest; the text still lists them in catalog order.
The catalog is read in a fixed handful of queries, and the samples in one
query per SAMPLE_TABLES_PER_QUERY tables, each value cut short by the server
so that wide rows cost little. Sample values are written as result cells
are (text.py), under a line naming their columns.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .text import ELLIPSIS, SEPARATOR, cell, escape_controls

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
        self.references: List[Tuple[str, str]] = []  # (schema, name) of the tables its foreign keys name
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

    @property
    def key(self) -> Tuple[str, str]:
        return (self.schema, self.name)

    def sample_text(self) -> str:
        if not self.samples:
            return ""
        names = [cell(column.name, SAMPLE_VALUE_CHARS)[0] for column in self.columns[:SAMPLE_COLUMNS]]
        if len(self.columns) > SAMPLE_COLUMNS:
            names.append(ELLIPSIS)
        return "  sample rows (%s):\n" % SEPARATOR.join(names) + "".join("    %s\n" % row for row in self.samples)


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
            referenced = (_text(rows_of_key[0][5]), _text(rows_of_key[0][6]))
            rel.foreign_keys.append("%s -> %s.%s (%s)" % (columns, referenced[0], referenced[1], ref_columns))
            rel.references.append(referenced)
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
    for row in dialect.sample_rows(session, dialect.sample_query(batch, careful)):
        table = tables[int(row[0])]
        count = min(len(table.columns), SAMPLE_COLUMNS)
        values, partial = dialect.sample_values(row[1:], careful)
        values = values[:count]
        # the server cut each value short already, or (partial) the row
        shown = [cell(value, SAMPLE_VALUE_CHARS)[0] for value in values]
        if partial and values:
            last = values[-1]
            shown[-1] = ELLIPSIS if last is None else cell(last, SAMPLE_VALUE_CHARS, partial=True)[0]
        if len(values) < count or len(table.columns) > SAMPLE_COLUMNS:
            shown.append(ELLIPSIS)
        table.samples.append(SEPARATOR.join(shown))


def padded_samples(tables: Sequence[Tuple[int, Relation]], value: Callable[[Column], str],
                   null: str) -> Iterator[Tuple[int, Relation, List[str]]]:
    """For a sample statement of a column per value: each table's value
    expressions, padded with `null` to the widest table's count, so that no
    value can be mistaken for a separator or for NULL."""
    width = max(min(len(table.columns), SAMPLE_COLUMNS) for _, table in tables)
    for index, table in tables:
        values = [value(column) for column in table.columns[:SAMPLE_COLUMNS]]
        yield index, table, values + [null] * (width - len(values))


# A field of PostgreSQL's row text "(1,,"a ""b""",x)": quoted (quotes and
# backslashes doubled inside), or bare, where empty means NULL. Each match
# takes one field and the comma after it.
_RECORD_FIELD = re.compile(r'(?:(")((?:[^"\\]|""|\\.)*)"?|([^,]*))(?:,|$)', re.S)
_RECORD_UNESCAPE = re.compile(r'""|\\(.)', re.S)


def _unescape(match: "re.Match[str]") -> str:
    return match.group(1) or '"'


def record_values(text: str, cut_at: int) -> Tuple[List[Optional[str]], bool]:
    """The fields of PostgreSQL's text form of a row, which the server cut at
    `cut_at` characters, and whether it did (the last field is then only the
    beginning of its value, and fields after it are missing)."""
    if not text.startswith("("):
        return [text], False
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
    return values, cut


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
    ranked = relations
    if used + sum(len(rel.structure()) for rel in relations) > budget - reserve:
        ranked = ranked_for_cut(relations)
    kept = set()
    for rel in ranked:
        size = len(rel.structure())
        if used + size <= budget - reserve:
            kept.add(rel.key)
            used += size
    shown = [rel for rel in ranked if rel.key in kept]
    left_out = [rel for rel in relations if rel.key not in kept]

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
    for rel in relations:
        if rel.key not in kept:
            continue
        parts.append(rel.structure())
        parts.append(rel.sample_text())
    parts.append(closing)
    return "".join(parts).rstrip("\n")


def ranked_for_cut(relations: List[Relation]) -> List[Relation]:
    """The relations in the order a cut keeps them: in turn the next most
    referenced by other tables' foreign keys and the next with the most rows
    (ties in catalog order), so that both the entities and the facts of a
    schema come first; those with neither come last."""
    referenced: Dict[Tuple[str, str], int] = {}
    for rel in relations:
        for key in set(rel.references):
            if key != rel.key:
                referenced[key] = referenced.get(key, 0) + 1

    def references(rel: Relation) -> int:
        return referenced.get(rel.key, 0)

    def rows(rel: Relation) -> int:
        return rel.rows or 0

    by_references = sorted(relations, key=lambda rel: (-references(rel), -rows(rel)))
    by_rows = sorted(relations, key=lambda rel: (-rows(rel), -references(rel)))
    order: List[Relation] = []
    taken = set()
    for pair in zip(by_references, by_rows):
        for rel in pair:
            if rel.key not in taken:
                taken.add(rel.key)
                order.append(rel)
    return order


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
