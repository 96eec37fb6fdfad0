"""The reference-class softmax model fitted by Polya-Gamma variational inference.

The extension modules ``learning``, ``inference`` and ``engine`` are imported on
demand; importing this package loads neither JAX nor the extensions.
"""
