"""The extensions take their bounds and the record's key order from the host package at import."""

import subprocess
import sys

import pytest

PACKAGE = "kelvra_bci.models.kelvra_softmax."


def run_python(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_limits_are_read_from_the_host_package():
    # A lower class cap in kelvra_bci.limits is the one every extension enforces.
    code = f"""import numpy as np, kelvra_bci.limits as limits
limits.MAX_CLASSES = 5
from {PACKAGE[:-1]} import engine, learning
X, y = np.zeros((4, 2)), np.array([0, 1, 0, 1])
for fit in (engine.fit, learning.kelvra_softmax_fit):
    try:
        fit(X, y, 6, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1)
    except ValueError as error:
        print(error)"""
    assert run_python(code).splitlines() == ["fitting n_classes=6: 6 classes is more than the 5 supported"] * 2


def test_record_key_order_is_the_schema_order():
    code = f"""import numpy as np
from kelvra_bci import kelvra_io
kelvra_io.SOFTMAX_KEYS = tuple(reversed(kelvra_io.SOFTMAX_KEYS))
from {PACKAGE[:-1]} import engine, learning
X, y = np.zeros((4, 2)), np.array([0, 1, 0, 1])
for fit in (engine.fit, learning.kelvra_softmax_fit):
    print(list(fit(X, y, 2, 0, 0.0, 1.0, 0.0, 1.0, 0, 1.0, 1).params) == list(kelvra_io.SOFTMAX_KEYS))"""
    assert run_python(code).splitlines() == ["True", "True"]


KEYS = "kelvra_io.SOFTMAX_KEYS"


@pytest.mark.parametrize(
    "module, change, message",
    [
        ("learning", "del limits.MAX_CLASSES", "cannot import name 'MAX_CLASSES' from 'kelvra_bci.limits'"),
        ("inference", "limits.MAX_CLASSES = 1e6", "kelvra_bci.limits.MAX_CLASSES must be an int, not float"),
        ("engine", "limits.INT64_MIN = True", "kelvra_bci.limits.INT64_MIN must be an int, not bool"),
        ("learning", "limits.MAX_CLASSES = 1", "kelvra_bci.limits.MAX_CLASSES is 1, expected 2 to 2147483647"),
        (
            "engine",
            "limits.INT32_MAX = 2**31",
            "kelvra_bci.limits.INT32_MAX is 2147483648, but the extension modules hold it in int32, "
            "whose bound is 2147483647",
        ),
        ("inference", "limits.INT64_MAX = 2**63", "kelvra_bci.limits.INT64_MAX is 9223372036854775808, beyond"),
        ("engine", f"del {KEYS}", "cannot import name 'SOFTMAX_KEYS' from 'kelvra_bci.kelvra_io'"),
        ("learning", f"{KEYS} = list({KEYS})", f"kelvra_bci.{KEYS} must be a tuple of str, not list"),
        ("engine", f"{KEYS} = {KEYS}[1:]", f"kelvra_bci.{KEYS} lacks 'backend', a key the extension"),
        ("learning", f"{KEYS} += ('beta_mean',)", f"kelvra_bci.{KEYS} names 'beta_mean' twice"),
        ("inference", f"{KEYS} += ('weights',)", f"kelvra_bci.{KEYS} names 'weights', a key the extension"),
    ],
)
def test_malformed_definitions_fail_the_import(module, change, message):
    # The import fails cleanly, and once the definitions are whole again it succeeds.
    code = f"""import importlib
from kelvra_bci import kelvra_io, limits
saved = dict(vars(limits)), kelvra_io.SOFTMAX_KEYS
{change}
try:
    importlib.import_module("{PACKAGE}{module}")
except ImportError as error:
    print(type(error).__name__, str(error).splitlines()[0])
vars(limits).update(saved[0])
kelvra_io.SOFTMAX_KEYS = saved[1]
print("np" in vars(importlib.import_module("{PACKAGE}{module}")))"""
    refused, retried = run_python(code).splitlines()
    assert refused.startswith("ImportError " + message), refused
    assert retried == "True"
