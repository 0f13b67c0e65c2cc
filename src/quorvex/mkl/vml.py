"""The NumPy layer: MKL's vector math as NumPy ufuncs.

``vml.exp`` is a NumPy ufunc whose loops call MKL: ``vdExp`` for float64, ``vsExp`` for
float32, ``vcExp``/``vzExp`` for complex64/complex128, and float16 through ``vsExp``. Every
elementwise operation MKL's runtime exports is one, named after MKL's function in lower
case (``ln``, ``cdfnorminv``, ``sincos``, ``log2``), and behaves as NumPy's own ufuncs do:
broadcasting, type promotion, ``out=``, ``where=``, ``casting=``, ``dtype=``, the methods
``reduce``/``accumulate``/``outer``/``at`` where NumPy allows them, and ``__array_ufunc__``
dispatch for Dask arrays, masked arrays and subclasses. Contiguous arrays go to MKL's plain
functions; strided ones too, block by block through a small contiguous scratch, so that an
element's result does not depend on the layout it comes in.

Errors follow NumPy: MKL's error status becomes NumPy's floating-point status, which
``np.errstate`` acts on (``vml.errstate`` is the same thing), every kind of error of a call
named as NumPy names it, in place too. MKL's mode, status and callback are the same after a
call as before.

Accuracy: the ufuncs here compute in the calling thread's VML mode, which ``vml.mode(...)``
sets for a block; ``vml.ha``, ``vml.la`` and ``vml.ep`` hold the same ufuncs fixed to one
accuracy, leaving the thread's mode alone. ``vml.numpy_uses_mkl()`` makes NumPy's own
ufuncs (``np.exp``, ...) use these loops for a block.

Pack and unpack (``packi``, ``packv``, ...) are plain functions of 1-D arrays.
"""

from __future__ import annotations

import contextlib
import sys

try:
    import numpy
except ImportError as error:
    raise ImportError(
        "quorvex.mkl.vml needs NumPy: pip install 'quorvex-mkl[numpy]' "
        "(the raw layer, quorvex.mkl.lib, works without it)"
    ) from error

from . import _kernels, _mode, _pack, _ufuncs, _vml_defines
from ._mode import describe_mode, get_mode, mode, set_mode
from ._numpy_loops import NUMPY_EQUIVALENTS, numpy_uses_mkl
from ._vml_defines import *  # noqa: F403

# The accuracies as words that refuse to be mixed (HA | LA), not the header's plain numbers.
LA, HA, EP = _mode.LA, _mode.HA, _mode.EP

#: NumPy's errstate: vml's ufuncs report MKL's errors through NumPy's floating-point status.
errstate = numpy.errstate


def _ufuncs_of(namespace: object, module_name: str) -> dict[str, numpy.ufunc]:
    """The ufuncs of a namespace, each told the module pickle finds it in by name (NumPy 1
    has no such attribute; pickle then searches the imported modules for it)."""
    found = {}
    for name, value in vars(namespace).items():
        if isinstance(value, numpy.ufunc):
            with contextlib.suppress(AttributeError):
                value.__module__ = module_name
            found[name] = value
    return found


# The loops look for what the kernel MKL runs leaves unreported (everywhere until told).
_ufuncs.choose_scans(_kernels.loaded_kernel())

#: The ufuncs, by name.
UFUNCS = _ufuncs_of(_ufuncs, __name__)
globals().update(UFUNCS)
globals().update(_pack.build())

# The namespaces of one accuracy each, importable (and so picklable) under this module.
ha, la, ep = _ufuncs.ha, _ufuncs.la, _ufuncs.ep
for _namespace in (ha, la, ep):
    _namespace.__name__ = f"{__name__}.{_namespace.__name__}"
    _namespace.__doc__ = (
        f"vml's ufuncs computing in MKL's {_namespace.__name__[-2:].upper()} accuracy, "
        "whatever the calling thread's mode."
    )
    _ufuncs_of(_namespace, _namespace.__name__)
    sys.modules[_namespace.__name__] = _namespace

#: The names of the operations, e.g. ``"exp"``, ``"sincos"``, ``"packi"``.
OPERATIONS = tuple(sorted([*UFUNCS, *_pack.PACK_BUILDERS]))

__all__ = [
    "EP",
    "HA",
    "LA",
    "NUMPY_EQUIVALENTS",
    "OPERATIONS",
    "UFUNCS",
    "describe_mode",
    "ep",
    "errstate",
    "get_mode",
    "ha",
    "la",
    "mode",
    "numpy_uses_mkl",
    "set_mode",
]
__all__ += list(OPERATIONS)
__all__ += [name for name in vars(_vml_defines) if name.isupper() and name not in __all__]
