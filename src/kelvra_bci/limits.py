"""The numeric bounds every part of kelvra_bci shares, defined once.

The record check, the command line and the compiled extension modules all
read these names; the extensions read them when they are imported and refuse
to load if they are missing or malformed. Keep this module free of imports.
"""

# Classes a model may have: a model file holds at most this many, and more
# make sweeps that run for hours.
MAX_CLASSES = 10**6

# Sweep counts, sample counts and shape sizes travel through the array library
# as int32.
INT32_MAX = 2**31 - 1

# Seeds and labels are stored as int64.
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
