"""The NumPy layer: MKL's vector math on NumPy arrays, checked before MKL sees them.

``vml.exp(x)`` computes MKL's ``vdExp`` on a float64 array (``vsExp`` on float32,
``vcExp``/``vzExp`` on complex64/complex128) and returns a new array. Every operation
is named after MKL's function in lower case (``ln``, ``cdfnorminv``, ``sincos``,
``packi``) and takes:

- arrays of one of the dtypes the MKL function exists for; other dtypes, or operands
  of different dtypes, raise TypeError unless ``dtype=`` asks for a conversion;
- operands of equal shape (no broadcasting); any shape, processed elementwise;
- ``out=`` like a NumPy ufunc: a C-contiguous, writable array of the result's dtype and
  shape (a tuple of two for ``modf`` and ``sincos``); in-place (``out=x``) works;
- ``mode=`` to run this one call in another VML mode (``vml.EP``, ``vml.LA | ...``),
  through MKL's mode-variant function (``vmdExp``).

Inputs that are not C-contiguous are copied to a contiguous buffer first; arrays
longer than 2**31 - 1 elements are processed in chunks. ``mode`` and ``errstate``
set the calling thread's VML mode and what happens when MKL reports an error
status (by default: warn on domain errors, singularities and overflow, like NumPy).
The constants (``HA``, ``LA``, ``EP``, ``ERRMODE_*``, ``FTZDAZ_*``, ``STATUS_*``, ...)
are those of MKL's ``mkl_vml_defines.h`` without the ``VML_`` prefix.
"""

from __future__ import annotations

try:
    import numpy as _numpy  # noqa: F401
except ImportError as error:
    raise ImportError(
        "quorvex.mkl.vml needs NumPy: pip install 'quorvex-mkl[numpy]' "
        "(the raw layer, quorvex.mkl.lib, works without it)"
    ) from error

from . import _vml_defines
from ._vml_defines import *  # noqa: F403
from ._vml_operations import OPERATIONS as _TABLE
from ._vml_ops import build_operations as _build_operations
from ._vml_state import (  # the accuracies replace the plain numbers of _vml_defines
    EP,
    HA,
    LA,
    VMLError,
    VMLWarning,
    describe_mode,
    errstate,
    get_mode,
    geterr,
    mode,
    set_mode,
    seterr,
)

globals().update(_build_operations())

#: The names of the operations, e.g. ``"exp"``, ``"sincos"``, ``"packi"``.
OPERATIONS = tuple(sorted(_TABLE))

__all__ = [
    "EP",
    "HA",
    "LA",
    "OPERATIONS",
    "VMLError",
    "VMLWarning",
    "describe_mode",
    "errstate",
    "get_mode",
    "geterr",
    "mode",
    "set_mode",
    "seterr",
]
__all__ += list(OPERATIONS)
__all__ += [name for name in vars(_vml_defines) if name.isupper() and name not in __all__]
