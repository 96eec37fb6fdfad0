"""The model file of a live session: the model record, its feature stage and its classes, in one file.

The file is an ordinary kelvra_softmax model file (``kelvra-softmax info`` and
``predict`` read it); the live decoder's own entries sit beside the record
under names starting with ``live_``, as plain arrays and text, so that nothing
is pickled. It is written atomically, as every model file is: a crash mid-write
leaves the previous checkpoint in place.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from ..record import MODEL_TYPE, KelvraModel
from .features import FeatureStage

__all__ = ["ClassMap", "SessionFile", "SessionFileError", "load_session", "save_session"]

_CLASS_NAMES = "live_class_names"  # in the model's class-index order
_MARKERS = "live_markers"
_MARKER_CLASSES = "live_marker_classes"
_CUES = "live_cues"
_OWN_PREFIX = "live_"


class SessionFileError(ValueError):
    """A model file that holds no live session, or one whose parts do not fit together."""


@dataclass(frozen=True)
class ClassMap:
    """Which markers are cues: labelled ones name their class, unlabelled ones are decoded only."""

    labelled: dict[str, str]
    unlabelled: tuple[str, ...] = ()

    @property
    def classes(self) -> tuple[str, ...]:
        """Every class the map names, in the order they first appear: the outlet's channels."""
        return tuple(dict.fromkeys(self.labelled.values()))

    def check(self) -> None:
        if not self.labelled:
            raise ValueError("give the marker of at least one class (MARKER=CLASS)")
        both = set(self.labelled) & set(self.unlabelled)
        if both:
            raise ValueError(f"marker {sorted(both)[0]!r} is given both a class and as an unlabelled cue")
        if "label" in self.classes:
            raise ValueError("'label' names the outlet's label channel and cannot be a class")
        if any(not name for name in (*self.labelled, *self.classes, *self.unlabelled)):
            raise ValueError("markers and class names must not be empty")


@dataclass
class SessionFile:
    model: KelvraModel
    stage: FeatureStage
    class_names: tuple[str, ...]  # the model's classes, by class index
    class_map: ClassMap


def save_session(path: str | os.PathLike, session: SessionFile) -> None:
    params = {key: value for key, value in session.model.params.items() if not key.startswith(_OWN_PREFIX)}
    params.update(session.stage.to_arrays())
    params[_CLASS_NAMES] = np.array(session.class_names, dtype=str)
    params[_MARKERS] = np.array(list(session.class_map.labelled), dtype=str)
    params[_MARKER_CLASSES] = np.array(list(session.class_map.labelled.values()), dtype=str)
    params[_CUES] = np.array(session.class_map.unlabelled, dtype=str)
    KelvraModel(model_type=MODEL_TYPE, params=params).save(path)


def load_session(path: str | os.PathLike) -> SessionFile:
    """Reads a live session's model file; :class:`SessionFileError`, naming the file, when it is no such file."""
    model = KelvraModel.load(path)
    name = os.fsdecode(path)
    if model.model_type != MODEL_TYPE:
        raise SessionFileError(f"{name} holds a {model.model_type!r} model, not a {MODEL_TYPE} model")
    params = model.params
    try:
        stage = FeatureStage.from_arrays(params)
    except ValueError as exc:
        raise SessionFileError(f"{name}: {exc}") from None
    if stage is None or _CLASS_NAMES not in params:
        raise SessionFileError(f"{name} holds a model but no feature stage: it was not saved by a live session")
    try:
        class_names = tuple(str(c) for c in np.asarray(params[_CLASS_NAMES]).reshape(-1))
        markers = [str(m) for m in np.asarray(params[_MARKERS]).reshape(-1)]
        marker_classes = [str(c) for c in np.asarray(params[_MARKER_CLASSES]).reshape(-1)]
        cues = tuple(str(c) for c in np.asarray(params[_CUES]).reshape(-1))
    except KeyError as exc:
        raise SessionFileError(f"{name}: the live session's entry {exc} is missing") from None
    n_classes = int(params["n_classes"])
    if len(class_names) != n_classes or len(markers) != len(marker_classes):
        raise SessionFileError(f"{name}: the live session's class names do not match its model of {n_classes} classes")
    if stage.n_features != np.asarray(params["beta_mean"]).shape[1] - 1:
        raise SessionFileError(f"{name}: the feature stage gives {stage.n_features} features, the model expects others")
    class_map = ClassMap(dict(zip(markers, marker_classes, strict=True)), cues)
    try:
        class_map.check()
    except ValueError as exc:
        raise SessionFileError(f"{name}: {exc}") from None
    record = {key: value for key, value in params.items() if not key.startswith(_OWN_PREFIX)}
    return SessionFile(
        KelvraModel(model_type=MODEL_TYPE, params=record),
        stage,
        class_names,
        class_map,
    )
