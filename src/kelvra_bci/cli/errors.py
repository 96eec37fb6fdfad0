"""Which errors of a command are the user's, reported in one line, and which are faults of the program.

A command ends in one ``kelvra-softmax: error: ...`` line, with exit status
1, when it raises one of :data:`INPUT_ERRORS`: a :class:`UsageError` of the
command line's own checks, a data file or model file that cannot be used, or
a record that fails its check. The engine's refusals join them at the call
(see ``commands.Engine``): the engine checks everything it is handed and
refuses bad input with an :class:`~kelvra_bci.errors.InputError`. So do
the demo's refusals of its settings (``demo.SettingError``, in ``cmd_demo``).
The environment's errors are reported in one line too: a file that cannot be
opened or written (``OSError``) and a request larger than the memory
(``MemoryError``). Every other exception, a ``ValueError`` raised anywhere
else included, is a fault of the program and keeps its traceback.
"""

from __future__ import annotations

from ..datafiles import DataFileError
from ..errors import InputError
from ..modelfiles import ModelFileError
from ..record import RecordError

__all__ = ["INPUT_ERRORS", "UsageError"]


class UsageError(Exception):
    """A mistake in what the user asked for or gave; reported in one line."""


INPUT_ERRORS = (UsageError, DataFileError, ModelFileError, RecordError, InputError)
