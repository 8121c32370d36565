"""The files an answer made, read for the store: its images, and the CSV
file of each result, so that any server process can show them and they
outlive the process (whose default result directory goes when it exits).

Images are read as the conversations read them (chat.images: plain files
under the conversation's media directory, no link followed, whose bytes
say they are images). A result file is read only as the connectors write
one: a plain file of this user with one name, mode 0600, reached without
following a link. Either is kept up to a size limit; a larger result file
is recorded with its size and no data, and the page says it was too large.
"""

from __future__ import annotations

import os
import stat
from typing import List, Optional, Tuple

from ..chat import Answer
from ..chat import images as chat_images

CSV = "text/csv; charset=utf-8"

Made = Tuple[str, str, str, int, Optional[bytes]]  # kind, name, media type, size, data


def answer_files(answer: Answer, limit: int) -> List[Made]:
    made: List[Made] = []
    for path in answer.images:
        found = chat_images.read_image(answer.media_path, path) if answer.media_path else None
        if found is not None:
            kind, data = found
            made.append(("image", path, kind, len(data), data))
    seen = set()
    for query in answer.queries:
        if query.file and query.file not in seen:
            seen.add(query.file)
            result = read_result_file(query.file, limit)
            if result is not None:
                made.append(("csv", query.file, CSV, result[0], result[1]))
    return made


def read_result_file(path: str, limit: int) -> Optional[Tuple[int, Optional[bytes]]]:
    """(size, data) of a result file, data None when it is larger than
    `limit`; None when it is not a result file the connectors wrote."""
    try:
        handle = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    with os.fdopen(handle, "rb") as result:
        info = os.fstat(result.fileno())
        if (not stat.S_ISREG(info.st_mode) or info.st_nlink != 1 or info.st_uid != os.getuid()
                or stat.S_IMODE(info.st_mode) != 0o600):
            return None
        if info.st_size > limit:
            return info.st_size, None
        data = result.read(limit + 1)
    return (len(data), data) if len(data) <= limit else (len(data), None)
