"""How the command line reads a class layout (class count and label base) from labels."""

from __future__ import annotations

import numpy as np

from .errors import UsageError

__all__ = ["MAX_CLASSES", "check_new_labels", "classes_of"]

# Below the models' own bound (kelvra_bci.limits.MAX_CLASSES) on purpose: the
# command line makes the class count from the largest label it reads, so a
# single mistyped label (20000 for 2) would otherwise ask for a model of that
# many classes and sweeps that run for hours. A session has tens of commands.
MAX_CLASSES = 10_000


def classes_of(y: np.ndarray, n_classes: int | None, label_base: int | None) -> tuple[int, int]:
    """The class count and label base of a fit: from the options, or from labels that leave no doubt.

    Labels 0..K-1 or 1..K with a trial of every class settle both. Anything else
    (no label 0 or 1, or a class without trials inside the range) could mean
    more than one layout, so the options that settle it are asked for.
    """
    lo, hi = int(y.min()), int(y.max())
    if lo < 0:
        raise UsageError(f"label {lo} is negative; labels start at 0 or 1")
    if label_base is None:
        if lo == 0:
            label_base = 0
        elif (n_classes is None and lo == 1) or (n_classes is not None and hi >= n_classes):
            label_base = 1  # base 0 would leave the top label out of range
        elif n_classes is None:
            raise UsageError(
                f"labels run {lo}..{hi} with no label 0 or 1, so the label base is unclear: "
                f"give --label-base (0 or 1) and --n-classes"
            )
        else:
            raise UsageError(f"labels {lo}..{hi} fit {n_classes} classes counted from 0 or from 1: give --label-base")
    if lo < label_base:
        raise UsageError(f"label {lo} is below the label base {label_base}")
    span = hi - label_base + 1
    if n_classes is None:
        _check_class_count(hi, span)
        empty = np.setdiff1d(np.arange(label_base, hi + 1), y)
        if empty.size:
            shown = ", ".join(map(str, empty[:5])) + (", ..." if empty.size > 5 else "")
            raise UsageError(
                f"no trial has label {shown} (labels run {label_base}..{hi}), so the class count is unclear: "
                f"give --n-classes (e.g. --n-classes {span} keeps every label of the range as a class)"
            )
        n_classes = span
        if n_classes < 2:
            raise UsageError("at least two classes are needed; the labels show one (set --n-classes to add more)")
    if span > n_classes:
        top = label_base + n_classes - 1
        raise UsageError(f"label {hi} is out of range: with {n_classes} classes labels run {label_base}..{top}")
    return n_classes, label_base


def check_new_labels(y: np.ndarray, label_base: int) -> None:
    """Refuses update labels below a model's base, or so large that they would grow it past :data:`MAX_CLASSES`."""
    lo, hi = int(y.min()), int(y.max())
    if lo < label_base:
        raise UsageError(f"label {lo} is below the model's label base {label_base}")
    _check_class_count(hi, hi - label_base + 1)


def _check_class_count(top_label: int, count: int) -> None:
    if count > MAX_CLASSES:
        raise UsageError(f"label {top_label} would make {count} classes; at most {MAX_CLASSES} are supported")
