"""How a result's file loads back: the pandas call the text's last line gives.

A plain pandas.read_csv(path) guesses, and guesses wrong for data: the
strings NA, NULL, None, null, nan and N/A become missing values, codes
stored as text lose their leading zeros (007 becomes 7), and dates stay
strings. So the call is built from the result's column types, which each
engine reads from its driver's description of the result (Dialect.
column_kinds) as one of the kinds below:

    TEXT      dtype str: the text as the database wrote it, 007 and NA kept
    INTEGER   dtype "Int64" (UInt64 when unsigned): whole numbers, NULL as <NA>
    NUMBER    left to pandas: float64 (decimals too)
    BOOLEAN   dtype "boolean", PostgreSQL's t and f read as True and False
    DATE      parse_dates, in ISO 8601: dates and timestamps become datetime64

and only the empty field is missing (keep_default_na=False, na_values=[""]):
NULL, and the empty string, which a CSV file cannot tell from it. A type
the connectors do not know is TEXT, which is always exact. What pandas
cannot hold stays text: a date column with infinity, year 0 or a BC date, a
timestamp column with mixed UTC offsets, and a number column holding the
value NaN (which pandas would take for a missing value if it were told to).

Columns are named by position (0 is the first), not by name: a column's
name can be anything a statement chose, two columns can share one, and the
line carries nothing the statement wrote.
"""

from __future__ import annotations

from typing import Dict, List, Sequence

TEXT = "text"
INTEGER = "integer"
UNSIGNED = "unsigned"
NUMBER = "number"
BOOLEAN = "boolean"
DATE = "date"

_DTYPES = {TEXT: "str", INTEGER: "'Int64'", UNSIGNED: "'UInt64'", BOOLEAN: "'boolean'"}


def load_call(path: str, kinds: Sequence[str]) -> str:
    """pandas.read_csv(...) for a file of columns of these kinds."""
    dtypes: Dict[int, str] = {}
    dates: List[int] = []
    for position, kind in enumerate(kinds):
        if kind == DATE:
            dates.append(position)
        elif kind in _DTYPES:
            dtypes[position] = _DTYPES[kind]
    arguments = ["%r" % path, "keep_default_na=False", "na_values=['']"]
    if dtypes:
        arguments.append("dtype={%s}" % ", ".join("%d: %s" % item for item in dtypes.items()))
    if BOOLEAN in kinds:
        arguments.append("true_values=['t'], false_values=['f']")
    if dates:
        arguments.append("parse_dates=%r, date_format='ISO8601'" % dates)
    return "pandas.read_csv(%s)" % ", ".join(arguments)
