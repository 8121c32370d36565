"""The catalog as the connectors hold it: relations (tables and views) with
their columns, keys and comments, read from each engine's catalog rows;
the order a size budget keeps them in; and names written as a statement
must write them.

The schema text (schema.py) and the hints for unknown names (names.py) both
read it; the last one read is kept per engine and URL (pool.Target.catalog).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from .base import Dialect

Key = Tuple[str, str]  # (schema, name)


class Column:
    __slots__ = ("name", "type", "not_null", "comment", "values")

    def __init__(self, name: str, type_: str, not_null: bool, comment: Optional[str] = None) -> None:
        self.name = name
        self.type = type_
        self.not_null = not_null
        self.comment = comment
        # every distinct value it holds, when they are few (value_lists.py)
        self.values: Optional[List[str]] = None


class ForeignKey:
    __slots__ = ("columns", "schema", "table", "referenced")

    def __init__(self, columns: List[str], schema: str, table: str, referenced: List[str]) -> None:
        self.columns = columns
        self.schema = schema
        self.table = table
        self.referenced = referenced


class Relation:
    def __init__(self, schema: str, name: str, kind: str, rows: Optional[int], comment: Optional[str]) -> None:
        self.schema = schema
        self.name = name
        self.key: Key = (schema, name)
        self.kind = kind  # table, view, materialized view, foreign table
        self.rows = rows  # the server's estimate
        self.comment = comment
        self.columns: List[Column] = []
        self.primary_key: List[str] = []
        self.foreign_keys: List[ForeignKey] = []
        self.references: List[Key] = []  # the tables its foreign keys name
        self.samples: List[str] = []  # sample rows, as lines of cells
        self.sample_head: Optional[str] = None  # the line naming their columns (samples.py)

    @property
    def full_name(self) -> str:
        return "%s.%s" % (self.schema, self.name)


def _text(value: Any) -> str:
    if type(value) is str:
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", "replace")
    return "" if value is None else str(value)


def _comment(value: Any) -> Optional[str]:
    text = _text(value).strip()
    return text or None


def relations_from(relation_rows: Sequence[Tuple], key_rows: Sequence[Tuple]) -> List[Relation]:
    """Relations from an engine's catalog rows (Dialect.catalog), in their order."""
    relations: Dict[Key, Relation] = {}
    order: List[Relation] = []
    rel = None
    last: Tuple[Any, Any] = (None, None)
    # rows come ordered by relation, so a new relation starts where the name changes
    for schema, name, kind, rows, column, type_, not_null, table_comment, column_comment in relation_rows:
        if rel is None or (schema, name) != last:
            last = (schema, name)
            key = (_text(schema), _text(name))
            rel = relations.get(key)
            if rel is None:
                rel = Relation(key[0], key[1], _text(kind), int(rows) if rows is not None else None,
                               _comment(table_comment))
                relations[key] = rel
                order.append(rel)
        if type(column) is not str or type(type_) is not str:
            column, type_ = _text(column), _text(type_)
        rel.columns.append(Column(column, type_, bool(not_null),
                                  None if column_comment is None else _comment(column_comment)))

    grouped: Dict[Tuple[str, str, str], List[Tuple]] = {}
    for row in key_rows:
        grouped.setdefault((_text(row[0]), _text(row[1]), _text(row[2])), []).append(row)
    for group, rows_of_key in grouped.items():
        rel = relations.get(group[:2])
        if rel is None:
            continue
        columns = [_text(r[4]) for r in rows_of_key]
        if _text(rows_of_key[0][3]) == "PK":
            rel.primary_key = columns
        else:
            key = ForeignKey(columns, _text(rows_of_key[0][5]), _text(rows_of_key[0][6]),
                             [_text(r[7]) for r in rows_of_key])
            rel.foreign_keys.append(key)
            rel.references.append((key.schema, key.table))
    return order


def ranked_for_cut(relations: List[Relation]) -> List[Relation]:
    """The relations in the order a size budget keeps them: in turn the next
    most referenced by other tables' foreign keys and the next with the most
    rows (ties in catalog order), so that both the entities and the facts of
    a schema come first; those with neither come last."""
    referenced: Dict[Key, int] = {}
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


class Namer:
    """Names as a statement writes them: quoted where need be, tables of the
    default schema unqualified."""

    def __init__(self, dialect: "Dialect", default: Optional[str]) -> None:
        self.dialect = dialect
        self.default = default

    def column(self, name: str) -> str:
        return self.dialect.identifier(name)

    def table(self, schema: str, name: str) -> str:
        if schema == self.default:
            return self.dialect.identifier(name)
        return "%s.%s" % (self.dialect.identifier(schema), self.dialect.identifier(name))

    def relation(self, rel: Relation) -> str:
        return self.table(rel.schema, rel.name)
