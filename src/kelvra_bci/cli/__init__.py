"""The ``kelvra-softmax`` command line: fit, predict, update, info and demo.

Only NumPy is imported up front; JAX and the compiled model modules load
inside the commands that compute, so ``--help`` and ``info`` stay quick.

Every option is checked when it is parsed (:mod:`.parser`) and every file is
read and checked before any computation starts (:mod:`.commands`); results
are written only once all the work has succeeded. A mistake of the user's
ends in one ``kelvra-softmax: error: ...`` line; :mod:`.errors` says which
errors those are. Any other error is a fault and keeps its traceback.
"""

from __future__ import annotations

import contextlib
import os
import sys
import warnings

from .commands import PROG
from .errors import INPUT_ERRORS, UsageError
from .parser import build_parser

__all__ = ["UsageError", "build_parser", "main"]


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status (0 success, 1 error, 2 bad usage)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else 2
    try:
        # Warnings raised on the way to a mistake (a cast of a bad value, say)
        # would only bury the one line that says what went wrong.
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("default")
            args.func(args)
    except INPUT_ERRORS as exc:
        return _fail(str(exc))
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`); stop quietly.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as exc:
        where = f" {exc.filename}" if exc.filename else ""
        return _fail(f"cannot access{where}: {exc.strerror or exc}")
    except MemoryError as exc:  # the model code names the request that would not fit
        return _fail(str(exc) or "not enough memory for this request")
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    for w in caught:
        warnings.showwarning(w.message, w.category, w.filename, w.lineno)
    return 0


def _fail(message: str, status: int = 1) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
