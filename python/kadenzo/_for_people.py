"""Text meant for a person (`show`, messages, progress) with what a terminal
would act on made visible: control characters and the marks that reorder
text show as escapes (`\\x1b`, `\\u202e`), and bytes of a name that are not
UTF-8 as `\\xff`. Data outputs (CSV, Parquet, Python values) keep the exact
values instead.
"""

from __future__ import annotations

import os
import sys
from typing import Union

# C0 and C1 controls, DEL, and the bidirectional marks, embeddings, overrides
# and isolates, plus the line and paragraph separators.
_ESCAPED = [
    *range(0x00, 0x20),
    *range(0x7F, 0xA0),
    0x061C,
    0x200E,
    0x200F,
    *range(0x202A, 0x202F),
    *range(0x2066, 0x206A),
    0x2028,
    0x2029,
]
_TABLE = {code: (f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}") for code in _ESCAPED}

Text = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def for_people(text: Text) -> str:
    """`text` (or a path) safe to show on a terminal, every character kept visible."""
    if not isinstance(text, str):
        text = os.fsdecode(text)
    # Bytes of a name that are not UTF-8 arrive as surrogate escapes: shown as the bytes they were.
    text = text.encode("utf-8", "surrogateescape" if _only_escaped_bytes(text) else "backslashreplace").decode(
        "utf-8", "backslashreplace"
    )
    return text.translate(_TABLE)


def _only_escaped_bytes(text: str) -> bool:
    """No surrogate in `text` other than the escapes of single bytes (U+DC80 to U+DCFF)."""
    return all(not 0xD800 <= ord(c) <= 0xDFFF or 0xDC80 <= ord(c) <= 0xDCFF for c in text)


def say(message: str) -> None:
    """Writes one line for a person to standard error (nothing when it is closed)."""
    if sys.stderr is None:
        return
    try:
        print(for_people(message), file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def counted(count: int, noun: str) -> str:
    """ "1 file", "2 files": the count and its noun, plural but for one."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"
