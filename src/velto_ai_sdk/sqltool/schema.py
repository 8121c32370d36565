"""The schema text: every table and view the account can read, in tiers
within a size budget, so that no table is ever invisible to the model.

Each relation appears once, in catalog order (schema, then name), in the
richest form the budget allows it:

    in full     TABLE orders (~5,000 rows)          its comment, columns with
                  columns: id integer NOT NULL, ...  types, keys, column
                  primary key: id                   comments; then, as far
                  values of status: paid | sent     as the budget goes, value
                  sample rows (id | ...):           lists (value_lists.py)
                    1 | ...                         and sample rows
    one line    orders(id,customer_id,status)       its columns' names
    by name     orders

The budget is spent in tiers: first every relation's name, then every
relation's line of column names, then full detail, one relation after
another in the order a cut keeps them (catalog.ranked_for_cut: the most
referenced and the largest first; one that does not fit is skipped for the
next), then value lists and sample rows for those in full, in that order.
When not everything is in full, a note after the first line says how many
are, and gives the catalog query that lists a table's columns on this
engine; when not even every name fits, how many are left out and the query
that lists them. Names are written as a statement must write them (quoted
where need be, the default schema's tables unqualified); comments, values
and samples as result cells are (text.py).

Notes from VELTO_SQL_CONTEXT_FILE lead the text (context.py), within their
own share of the budget.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Tuple

from .catalog import Key, Namer, Relation, ranked_for_cut, relations_from
from .context import context_text
from .samples import SAMPLE_VALUE_CHARS, least_sample_size, read_samples, sample_text, sampled
from .text import SEPARATOR, cell, escape_controls
from .value_lists import attach_value_lists

if TYPE_CHECKING:
    from .base import Dialect
    from .session import Session

NAME, COLUMNS, FULL = 1, 2, 3
# Below this many characters, nothing more fits: no full detail in place of a
# line, no value list.
LEAST_ROOM = 16
SAMPLES_LEFT_OUT = "Sample rows left out for %s tables to stay within the size budget.\n"


class Look:
    """How each relation is written in each form (made once per text)."""

    def __init__(self, namer: Namer, comment_chars: int) -> None:
        self.namer = namer
        self.comment_chars = comment_chars
        self._titles: Dict[Key, str] = {}
        self._columns: Dict[str, str] = {}
        self._lines: Dict[Key, str] = {}
        self._details: Dict[Key, str] = {}
        self._values: Dict[Key, str] = {}

    def title(self, rel: Relation) -> str:
        title = self._titles.get(rel.key)
        if title is None:
            # names come from the catalog, which the model's account may have written
            title = self._titles[rel.key] = escape_controls(self.namer.relation(rel))
        return title

    def column(self, name: str) -> str:
        written = self._columns.get(name)  # (the same few names recur in table after table)
        if written is None:
            written = self._columns[name] = escape_controls(self.namer.column(name))
        return written

    def name_line(self, rel: Relation) -> str:
        return _kind_prefix(rel) + self.title(rel) + "\n"

    def name_size(self, rel: Relation) -> int:
        return len(_kind_prefix(rel)) + len(self.title(rel)) + 1

    def columns_size(self, rel: Relation) -> int:
        """The length of its line of column names, without making it (most
        of those measured are not shown)."""
        column = self.column
        return (self.name_size(rel) + 2 + sum([len(column(c.name)) for c in rel.columns])
                + max(len(rel.columns) - 1, 0))

    def detail_size(self, rel: Relation) -> int:
        return len(self.detail(rel))

    def columns_line(self, rel: Relation) -> str:
        line = self._lines.get(rel.key)
        if line is None:
            line = self._lines[rel.key] = "%s%s(%s)\n" % (
                _kind_prefix(rel), self.title(rel), ",".join([self.column(c.name) for c in rel.columns]))
        return line

    def detail(self, rel: Relation) -> str:
        text = self._details.get(rel.key)
        if text is None:
            text = self._details[rel.key] = self._detail(rel)
        return text

    def _detail(self, rel: Relation) -> str:
        head = "%s %s" % (rel.kind.upper(), self.title(rel))
        if rel.rows is not None and rel.rows >= 0:
            head += " (~%s row%s)" % (format(int(rel.rows), ","), "" if rel.rows == 1 else "s")
        lines = [head]
        if rel.comment:
            lines.append("  comment: " + self.comment(rel.comment))
        lines.append("  columns: " + ", ".join(
            "%s %s%s" % (self.column(c.name), escape_controls(c.type), " NOT NULL" if c.not_null else "")
            for c in rel.columns))
        if rel.primary_key:
            lines.append("  primary key: " + ", ".join(self.column(name) for name in rel.primary_key))
        for fk in rel.foreign_keys:
            lines.append("  foreign key: %s -> %s (%s)" % (
                ", ".join(self.column(name) for name in fk.columns),
                escape_controls(self.namer.table(fk.schema, fk.table)),
                ", ".join(self.column(name) for name in fk.referenced)))
        for column in rel.columns:
            if column.comment:
                lines.append("  comment on %s: %s" % (self.column(column.name), self.comment(column.comment)))
        return "\n".join(lines) + "\n"

    def comment(self, text: str) -> str:
        return cell(text, self.comment_chars)[0]

    def values(self, rel: Relation) -> str:
        text = self._values.get(rel.key)
        if text is None:
            text = self._values[rel.key] = self._value_lines(rel)
        return text

    def _value_lines(self, rel: Relation) -> str:
        return "".join(
            "  values of %s: %s\n" % (self.column(column.name),
                                      SEPARATOR.join(cell(value, SAMPLE_VALUE_CHARS)[0] for value in column.values))
            for column in rel.columns if column.values)


def _kind_prefix(rel: Relation) -> str:
    return "" if rel.kind == "table" else rel.kind + " "


class Hints:
    """The engine's statements for what the text leaves out."""

    def __init__(self, dialect: "Dialect", default_schema: Optional[str]) -> None:
        self.dialect = dialect
        self.default_schema = default_schema

    def columns(self, rel: Relation) -> str:
        return escape_controls(self.dialect.columns_query(rel.schema, rel.name))

    def tables(self) -> str:
        return escape_controls(self.dialect.tables_query(self.default_schema))


# -- the text ----------------------------------------------------------------------


def schema_text(header: str, relations: List[Relation], budget: int, look: Look, hints: Hints,
                read_values: Callable[[List[Relation]], None],
                read_samples: Callable[[List[Relation]], None]) -> str:
    intro = _intro(header, relations, look.namer)
    if not relations:
        return intro + "\n\nNo tables or views that this user can read."
    # held back: the blank line after the notes, and the closing note on samples
    held = 2 + len(SAMPLES_LEFT_OUT % format(len(relations), ","))
    room = budget - len(intro) - held
    if _all_fit_in_full(relations, look, room):
        ranked, levels, notes = relations, {rel.key: FULL for rel in relations}, ""
    else:
        ranked = ranked_for_cut(relations)
        # room for the notes, at their longest: first as if every name fit
        longest = max(relations, key=lambda rel: len(hints.columns(rel)))
        levels = _levels(ranked, look, room - len(_notes(relations, None, budget, hints, longest, named=True)))
        if len(levels) < len(relations):
            levels = _levels(ranked, look, room - len(_notes(relations, None, budget, hints, longest, named=False)))
        notes = _notes(relations, levels, budget, hints)
    full = [rel for rel in ranked if levels.get(rel.key) == FULL]
    room = budget - len(intro) - len(notes) - held - sum(len(_form(rel, levels, look)) for rel in relations)
    with_values = _spend(full, look.values, room, read_values)
    room -= sum(len(look.values(rel)) for rel in with_values)
    with_samples, left_out = _samples(full, room, read_samples)
    values_shown = {rel.key for rel in with_values}
    samples_shown = {rel.key for rel in with_samples}

    parts = [intro, notes, "\n\n"]
    for rel in relations:
        parts.append(_form(rel, levels, look))
        if rel.key in values_shown:
            parts.append(look.values(rel))
        if rel.key in samples_shown:
            parts.append(sample_text(rel))
    if left_out:
        parts.append(SAMPLES_LEFT_OUT % format(left_out, ","))
    return "".join(parts).rstrip("\n")


def _intro(header: str, relations: List[Relation], namer: Namer) -> str:
    tables = sum(1 for r in relations if r.kind != "view")
    views = len(relations) - tables
    intro = "%s: %s table%s, %s view%s. Columns are nullable unless marked NOT NULL; row counts are estimates." % (
        header, format(tables, ","), "" if tables == 1 else "s", format(views, ","), "" if views == 1 else "s")
    if namer.default is not None and any(rel.schema != namer.default for rel in relations):
        intro += " Names without a schema are in %s." % namer.dialect.identifier(namer.default)
    return escape_controls(intro)


def _form(rel: Relation, levels: Dict[Key, int], look: Look) -> str:
    level = levels.get(rel.key)
    if level == FULL:
        return look.detail(rel)
    if level == COLUMNS:
        return look.columns_line(rel)
    if level == NAME:
        return look.name_line(rel)
    return ""


def _all_fit_in_full(relations: List[Relation], look: Look, room: int) -> bool:
    for rel in relations:
        room -= len(look.detail(rel))
        if room < 0:
            return False
    return True


def _levels(ranked: List[Relation], look: Look, room: int) -> Dict[Key, int]:
    """How far each relation gets, tier by tier: names, then lines of column
    names, then full detail, each in the cut's order; a relation that does
    not fit is skipped for the next."""
    levels: Dict[Key, int] = {}
    sizes: Dict[Key, int] = {}
    for rel in ranked:
        size = look.name_size(rel)
        if size <= room:
            levels[rel.key] = NAME
            sizes[rel.key] = size
            room -= size
    for tier, size_of in ((COLUMNS, look.columns_size), (FULL, look.detail_size)):
        for rel in ranked:
            if room < LEAST_ROOM and tier == FULL:
                break
            key = rel.key
            if levels.get(key) != tier - 1:
                continue
            size = size_of(rel)
            if size - sizes[key] <= room:
                levels[key] = tier
                room -= size - sizes[key]
                sizes[key] = size
    return levels


def _notes(relations: List[Relation], levels: Optional[Dict[Key, int]], budget: int, hints: Hints,
           longest: Optional[Relation] = None, named: bool = False) -> str:
    """What the text leaves out and how to read it; with levels None, the
    longest these notes can be (what to hold back for them), given the
    relation whose columns query is longest, and `named` if every relation
    is named."""
    total = len(relations)
    example: Optional[Relation] = longest
    if levels is None:
        counts = {FULL: total, COLUMNS: total, NAME: total, None: 0 if named else total}
    else:
        counts = {FULL: 0, COLUMNS: 0, NAME: 0, None: 0}
        for rel in relations:
            counts[levels.get(rel.key)] += 1
        example = next((rel for rel in relations if levels.get(rel.key) in (COLUMNS, NAME)), None)
    if counts[FULL] == total and levels is not None:
        return ""
    number = lambda count: format(count, ",")  # noqa: E731
    shown = "%s of %s tables and views in full" % (number(counts[FULL]), number(total))
    if counts[COLUMNS]:
        shown += "; %s on one line as name(column,...), with their columns' names only" % number(counts[COLUMNS])
    if counts[NAME]:
        shown += "; %s by name only" % number(counts[NAME])
    lines = ["Within %s characters: %s." % (number(budget), shown)]
    if example is not None:
        lines.append("A table's columns and types: " + hints.columns(example))
    if counts[None]:
        lines.append("Not named here: %s more; list them with: %s" % (number(counts[None]), hints.tables()))
    return "\n" + "\n".join(lines)


def _spend(tables: List[Relation], text: Callable[[Relation], str], room: int,
           read: Callable[[List[Relation]], None]) -> List[Relation]:
    """Reads an extra (value lists) for the tables, then keeps it for those
    it fits, in their order; one that does not fit is skipped for the next."""
    if not tables or room < LEAST_ROOM:
        return []
    read(tables)
    kept = []
    for rel in tables:
        size = len(text(rel))
        if size and size <= room:
            kept.append(rel)
            room -= size
    return kept


def _samples(tables: List[Relation], room: int,
             read: Callable[[List[Relation]], None]) -> Tuple[List[Relation], int]:
    """Sample rows, in the tables' order, until one does not fit, read only
    for those whose samples could fit at all; and how many tables' samples
    were left out."""
    eligible = [rel for rel in tables if sampled(rel)]
    hopeful: List[Relation] = []
    least = 0
    for rel in eligible:
        least += least_sample_size(rel)
        if least > room:
            break
        hopeful.append(rel)
    if hopeful:
        read(hopeful)
    kept: List[Relation] = []
    dropped = 0
    for rel in hopeful:
        size = len(sample_text(rel))
        if not size:
            continue  # no rows
        if dropped or size > room:
            dropped += 1
            continue
        kept.append(rel)
        room -= size
    return kept, dropped + len(eligible) - len(hopeful)


# -- reading -------------------------------------------------------------------------


def read_schema(session: "Session") -> str:
    settings = session.settings
    dialect = session.dialect
    context = context_text(settings.context_file, settings.schema_max_chars)
    header = dialect.schema_header(session)
    relations = relations_from(*dialect.catalog(session))
    session.target.catalog = relations
    default = dialect.default_schema(session.target)
    look = Look(Namer(dialect, default), settings.max_value_chars)
    return context + schema_text(
        header, relations, settings.schema_max_chars - len(context), look, Hints(dialect, default),
        lambda tables: attach_value_lists(session, tables), lambda tables: read_samples(session, tables))
