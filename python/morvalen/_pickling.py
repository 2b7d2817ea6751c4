"""Pickling support for ``MorvalenError``.

The exception type lives in the extension module, whose ``__module__`` is
``_morvalen``: not an importable top-level name, so pickle cannot save the
type by reference and an error raised in a worker process (for example under
``concurrent.futures.ProcessPoolExecutor``) would not reach the parent. A
reducer registered with ``copyreg`` saves the error as a call to
``rebuild_error`` below, which is importable, and leaves the type's name and
module as they are.
"""

from __future__ import annotations

import copyreg
from typing import Any

from ._morvalen import MorvalenError


def rebuild_error(*args: Any) -> MorvalenError:
    """Recreates a pickled ``MorvalenError`` from its arguments (the message)."""
    return MorvalenError(*args)


def _reduce_error(error: MorvalenError) -> tuple[Any, ...]:
    # The same shape as BaseException.__reduce__: arguments, then the instance
    # dictionary (attributes such as __notes__) when there is one.
    state = getattr(error, "__dict__", None)
    if state:
        return (rebuild_error, error.args, state)
    return (rebuild_error, error.args)


def register() -> None:
    """Registers the reducer; pickle consults it for this exact type only."""
    copyreg.pickle(MorvalenError, _reduce_error)
