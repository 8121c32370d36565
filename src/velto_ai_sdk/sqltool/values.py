"""A fetched value as the database itself writes it.

PostgreSQL and MySQL rows arrive as the server's own text: postgresql.py and
mysql.py ask their drivers not to turn values into Python objects, so a
value reads as psql and the mysql client print it (`t`, `2 mons 3 days`,
`-01:49:20`, `08:00:00`, `5020.10`), the same as in the schema's sample rows,
which the servers write as text too. What is left to write here: binary
values, which come as bytes and are written 0x and hexadecimal digits (as the
mysql client does with --binary-as-hex), and the Python objects of a driver
that converts (pymssql), written as SQL Server's own tools print them.
"""

from __future__ import annotations

import datetime
import decimal
from typing import Any, Optional, Tuple

BINARY = (bytes, bytearray, memoryview)


def value_text(value: Any) -> Optional[str]:
    """The database's text of a value; None for NULL."""
    if value is None or type(value) is str:
        return value
    if isinstance(value, BINARY):
        return "0x" + bytes(value).hex().upper()
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, decimal.Decimal):
        return format(value, "f")  # str() would write 0E-10
    if isinstance(value, float):
        text = repr(value)
        return text[:-2] if text.endswith(".0") else text
    if isinstance(value, datetime.datetime):
        return value.isoformat(sep=" ")
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def binary_prefix_text(value: Any, limit: int) -> Tuple[str, bool]:
    """A binary value's text when it fits in `limit` characters; otherwise
    its beginning, short enough to be followed by an ellipsis, made from the
    first bytes only (a huge value is not turned into text whole); and
    whether the value goes on."""
    size = len(value)
    if 2 + 2 * size <= limit:
        return "0x" + bytes(value).hex().upper(), False
    half = max(1, (limit - 3) // 2)
    return "0x" + bytes(value[:half]).hex().upper(), size > half
