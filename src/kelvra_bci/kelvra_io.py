"""The record and model-file names under the module name the compiled modules import.

The extension modules look ``KelvraModel``, ``check_softmax_params``,
``check_anchor_values`` and ``InputError`` up here; the first three live in
:mod:`kelvra_bci.record`, and so does the schema; ``InputError`` in
:mod:`kelvra_bci.errors`. ``ModelFileError`` and ``FORMAT_VERSION`` live in
:mod:`kelvra_bci.modelfiles`, which is imported only when one of them is
asked for, so that loading an extension module loads no file code.
"""

from __future__ import annotations

from typing import Any

from .errors import InputError
from .record import (
    BACKEND,
    MEMORY_KEYS,
    MEMORY_SCHEMA,
    MODEL_TYPE,
    SOFTMAX_KEYS,
    SOFTMAX_SCHEMA,
    KelvraModel,
    RecordError,
    check_anchor_values,
    check_softmax_params,
)

# FORMAT_VERSION and ModelFileError come from __getattr__ below.
__all__ = [  # noqa: F822
    "BACKEND",
    "FORMAT_VERSION",
    "MEMORY_KEYS",
    "MEMORY_SCHEMA",
    "MODEL_TYPE",
    "SOFTMAX_KEYS",
    "SOFTMAX_SCHEMA",
    "InputError",
    "KelvraModel",
    "ModelFileError",
    "RecordError",
    "check_anchor_values",
    "check_softmax_params",
]

_FROM_MODELFILES = frozenset({"FORMAT_VERSION", "ModelFileError"})


def __getattr__(name: str) -> Any:
    if name in _FROM_MODELFILES:
        from . import modelfiles

        return getattr(modelfiles, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_FROM_MODELFILES})
