"""The images a question's scripts make in the media directory, and reading
one back to show it.

The scripts are the model's, so whatever they leave in the media directory
is an attacker's: a link to a file of the host's named like a chart, a
second name (hard link) of such a file, a directory swapped for a link after
it was looked at. An image counts only as a regular file with one name,
found without following any link below the media directory; it is read the
same way (each step below the directory opened without following links),
its size bounded, and shown only when its first bytes say it is a PNG,
JPEG, GIF or WebP image. The media directory itself is the host's and
trusted as given.
"""

from __future__ import annotations

import os
import stat
from typing import Dict, List, Optional, Tuple

SUFFIXES = (".png", ".jpg", ".jpeg", ".gif", ".webp", ".svg")
MAX_ENTRIES = 20000  # entries looked at per scan: a script cannot make a scan take long
MAX_INLINE_BYTES = 8 << 20  # larger images are listed, not shown

# path -> (modification time, size, inode): a change in any is a new image
Snapshot = Dict[str, Tuple[int, int, int]]

_SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "image/png"),
    (b"\xff\xd8\xff", "image/jpeg"),
    (b"GIF87a", "image/gif"),
    (b"GIF89a", "image/gif"),
)


def snapshot(directory: str) -> Snapshot:
    """The image files under `directory`, links not followed."""
    found: Snapshot = {}
    pending = [directory]
    seen = 0
    while pending and seen < MAX_ENTRIES:
        try:
            entries = list(os.scandir(pending.pop()))
        except OSError:
            continue
        for entry in entries[: MAX_ENTRIES - seen]:
            seen += 1
            try:
                info = entry.stat(follow_symlinks=False)
            except OSError:
                continue
            if stat.S_ISDIR(info.st_mode):
                pending.append(entry.path)
            elif (stat.S_ISREG(info.st_mode) and info.st_nlink == 1
                  and entry.name.lower().endswith(SUFFIXES)):
                found[entry.path] = (info.st_mtime_ns, info.st_size, info.st_ino)
    return found


def changed(before: Snapshot, after: Snapshot) -> List[str]:
    """The images that are new in `after`, or different, in path order."""
    return sorted(path for path, mark in after.items() if before.get(path) != mark)


def read_image(directory: str, path: str, limit: int = MAX_INLINE_BYTES) -> Optional[Tuple[str, bytes]]:
    """(media type, bytes) of an image under `directory`, or None when it is
    not there, not a plain file with one name, too large, reached through a
    link, or not an image we show."""
    relative = os.path.relpath(path, directory)
    parts = relative.split(os.sep)
    if relative.startswith(os.pardir) or os.path.isabs(relative) or not parts:
        return None
    try:
        handle = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return None
    try:
        for part in parts[:-1]:
            step = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=handle)
            os.close(handle)
            handle = step
        step = os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=handle)
        os.close(handle)
        handle = step
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode) or info.st_nlink != 1 or info.st_size > limit:
            return None
        with os.fdopen(handle, "rb") as image:
            handle = -1
            data = image.read(limit + 1)
    except OSError:
        return None
    finally:
        if handle >= 0:
            os.close(handle)
    kind = media_type(data)
    return (kind, data) if kind is not None and len(data) <= limit else None


def media_type(data: bytes) -> Optional[str]:
    for signature, kind in _SIGNATURES:
        if data.startswith(signature):
            return kind
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "image/webp"
    return None
