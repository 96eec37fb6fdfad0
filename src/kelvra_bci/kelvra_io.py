"""Model records of kelvra_bci."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

__all__ = ["KelvraModel"]


class KelvraModel:
    """A fitted model: its family name and its parameter mapping.

    The mapping is kept as given, not copied: ``model.params is params``.
    """

    __slots__ = ("model_type", "params")

    def __init__(self, *, model_type: str, params: Mapping[str, Any]) -> None:
        self.model_type = model_type
        self.params = params

    def __repr__(self) -> str:
        keys = ", ".join(map(str, self.params))
        return f"KelvraModel(model_type={self.model_type!r}, params={{{keys}}})"
