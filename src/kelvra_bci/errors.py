"""The exception kelvra_bci raises for a caller's bad input.

The engine raises :class:`InputError` for every request it refuses (bad
arrays, settings, records); a damaged record is a :class:`~kelvra_bci.record.RecordError`,
a subclass. Anything else the engine raises is a fault of the program or of
its environment. Being a ``ValueError``, it is caught where a ``ValueError``
was caught before.
"""

from __future__ import annotations

__all__ = ["InputError"]


class InputError(ValueError):
    """A request refused for its input: an argument, an array or a record the call cannot use."""
