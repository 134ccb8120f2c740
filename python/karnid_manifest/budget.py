"""One memory budget in place of the row-map limits, so that a host need not copy the limits a
build needed.

What a verification or a creation holds in memory grows with the row map: the set of identifiers
that finds a duplicate ``db_id`` costs about :data:`ID_SET_BYTES_PER_ROW` bytes per row for the
usual identifiers (lowercase hyphenated UUIDs, 36 bytes of text held as 16) and the identifier's
length plus :data:`OTHER_ID_OVERHEAD_PER_ROW` for any other form. From a budget of ``B`` bytes:

- ``max_row_map_rows`` is ``B // 32``: the rows whose set fits;
- ``max_row_map_tracked_id_bytes`` is ``B * 36 // 32``: the text of those rows' UUIDs.

An explicit limit wins over the one the budget gives. Nothing read from a manifest enters here: a
manifest is written by whoever wrote the files, and its declared counts only ever lower a limit
inside the module.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing's own costs more to import than this module
if TYPE_CHECKING:
    from typing import Any, Mapping

KIB = 1024
MIB = KIB * KIB
GIB = KIB * MIB
# Enough for a row map of 10,000,000 UUIDs (the rows limit the module has by default), a few
# hundred MiB at most.
DEFAULT_MEMORY_LIMIT = 320 * MIB
# The set's cost per row, measured on maps of 2 and 10 million rows.
ID_SET_BYTES_PER_ROW = 32
OTHER_ID_OVERHEAD_PER_ROW = 20
UUID_TEXT_BYTES = 36
U64_MAX = 2**64 - 1

KEYWORD = "memory_limit"
OPTION = "--memory-limit"
# The limits the budget sets, in the order a hint names them.
FOLLOWING = ("max_row_map_rows", "max_row_map_tracked_id_bytes")
_SUFFIXES = {"": 1, "K": KIB, "M": MIB, "G": GIB, "T": KIB * GIB}


def parse_size(text: str) -> int:
    """A size as the command line takes it: a whole number of bytes with an optional suffix K,
    M, G or T (base 1024; "KiB", "MB" and lower case are read alike)."""
    spelled = text.strip().upper()
    for tail in ("IB", "B"):
        if spelled.endswith(tail) and spelled[:-len(tail)][-1:] in "KMGT":
            spelled = spelled[:-len(tail)]
            break
    suffix = spelled[-1:] if spelled[-1:] in "KMGT" else ""
    number = spelled[:len(spelled) - len(suffix)]
    if not number.isdigit():
        raise ValueError(f"{text!r} is not a size (a whole number, optionally with K, M or G)")
    value = int(number) * _SUFFIXES[suffix]
    if value > U64_MAX:
        raise ValueError(f"{text!r} is more than {U64_MAX} bytes")
    return value


def format_size(n_bytes: int) -> str:
    """The shortest exact spelling that :func:`parse_size` reads back."""
    for suffix in ("T", "G", "M", "K"):
        if n_bytes and n_bytes % _SUFFIXES[suffix] == 0:
            return f"{n_bytes // _SUFFIXES[suffix]}{suffix}"
    return str(n_bytes)


def limits_for(memory_limit: int) -> dict[str, int]:
    """The row-map limits that a budget of ``memory_limit`` bytes gives."""
    return {
        "max_row_map_rows": memory_limit // ID_SET_BYTES_PER_ROW,
        "max_row_map_tracked_id_bytes": min(
            memory_limit * UUID_TEXT_BYTES // ID_SET_BYTES_PER_ROW, U64_MAX),
    }


def checked(memory_limit: Any) -> int:
    """``memory_limit=`` as a caller passes it: None for the default, or bytes as an int."""
    if memory_limit is None:
        return DEFAULT_MEMORY_LIMIT
    if isinstance(memory_limit, bool) or not isinstance(memory_limit, int):
        raise TypeError(f"memory_limit must be an int (bytes) or None, not "
                        f"{type(memory_limit).__name__}")
    if not 0 <= memory_limit <= U64_MAX:
        raise OverflowError(f"memory_limit {memory_limit} is outside 0 to {U64_MAX}")
    return memory_limit


def apply(memory_limit: Any, limits: Mapping[str, Any]) -> dict[str, Any]:
    """``limits`` (keyword arguments of a call) with the row-map limits that the budget gives
    wherever the caller left them out or passed None."""
    derived = limits_for(checked(memory_limit))
    return {**limits, **{keyword: value for keyword, value in derived.items()
                         if limits.get(keyword) is None}}


def needed(rows: int, tracked_id_bytes: int) -> int:
    """The smallest budget, in whole MiB, whose limits accept ``rows`` rows holding
    ``tracked_id_bytes`` bytes of identifiers."""
    exact = max(rows * ID_SET_BYTES_PER_ROW,
                -(-tracked_id_bytes * ID_SET_BYTES_PER_ROW // UUID_TEXT_BYTES))
    return -(-exact // MIB) * MIB
