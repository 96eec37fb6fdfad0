"""The bounds kelvra_bci holds every request and every file to, defined once.

Each number here is the one every module uses: the Python modules import it,
and the compiled extension modules read MAX_CLASSES, INT32_MAX, INT64_MIN,
INT64_MAX and MAX_MEMORY from it when they are imported (and refuse to load if they are
missing or malformed). Nothing in this module imports anything, so any module
may read it at no cost.
"""

from __future__ import annotations

__all__ = [
    "INT32_MAX",
    "INT64_MAX",
    "INT64_MIN",
    "MAX_ARCHIVE_DIRECTORY_BYTES",
    "MAX_ARCHIVE_MEMBERS",
    "MAX_CLASSES",
    "MAX_INFLATED_BYTES",
    "MAX_MANIFEST_CHARS",
    "MAX_MEMORY",
    "MAX_MODEL_DATA_BYTES",
    "MAX_MODEL_FILE_BYTES",
    "MAX_NDIM",
    "NPY_HEADER_BYTES",
]

# Loop counts, sample counts and shape sizes travel through JAX as int32.
INT32_MAX = 2**31 - 1
# Seeds and labels are stored as int64.
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# More classes than this make sweeps that run for hours; a model file holds no more.
MAX_CLASSES = 10**6

# Trials a record of method "mode" may remember: every update revisits the
# whole memory, so it bounds an update's work. Fit, update, precompile, the
# estimator, the command line and the model files all hold to it.
MAX_MEMORY = 65536

# Model files: what keeps a hostile file from costing more than a large model would.
MAX_MODEL_FILE_BYTES = 1 << 30
MAX_MODEL_DATA_BYTES = 256 << 20  # all entries together, as declared, before inflating any
MAX_MANIFEST_CHARS = 64 << 10
MAX_NDIM = 32

# .npz archives, model and data files alike: zipfile builds one object per
# directory entry before anything else can be checked, so the directory is
# bounded first.
MAX_ARCHIVE_MEMBERS = 1024
MAX_ARCHIVE_DIRECTORY_BYTES = 1 << 20
# A compressed array of a data file is inflated in blocks and refused past this
# size: its header and the archive's directory may both lie about it.
MAX_INFLATED_BYTES = 1 << 30

# A .npy header: magic, version and length field, then NumPy's own bound on the text.
NPY_HEADER_BYTES = 12 + 10_000
