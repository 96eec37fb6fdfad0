"""``python -m kelvra_bci``: the same as the ``kelvra-softmax`` command."""

from .cli import main

raise SystemExit(main())
