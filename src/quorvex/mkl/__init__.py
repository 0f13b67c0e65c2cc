"""Intel MKL's vector math (VML) for Python.

``quorvex.mkl.lorimath`` is the compiled module: its ``ffi`` holds MKL's types and
its ``lib`` all 1044 VML functions, each calling ``mkl_rt`` with the GIL released.
``quorvex.mkl.vml`` is the NumPy layer over it. ``from quorvex.mkl import ffi, lib``
loads the compiled module on first use, so importing this package stays cheap: it
loads neither MKL nor the extension nor NumPy.

Before the extension loads, MKL is pinned to its 32-bit integer interface (LP64),
the one whose counts the module passes; if the process already uses the 64-bit
interface, importing the extension raises ImportError instead (see _runtime.py).
"""

from __future__ import annotations

import functools
import sys

TYPE_CHECKING = False  # typing itself takes milliseconds to import; checkers know this name

__version__ = "0.1.0"
__all__ = [
    "__version__",
    "evaluate",
    "ffi",
    "fuse",
    "lib",
    "mkl_version",
    "re_evaluate",
    "validate",
]

if TYPE_CHECKING:
    from typing import Any

    from .lorimath import ffi, lib

# Every extension module passes 32-bit counts to mkl_rt.
_EXTENSIONS = frozenset(
    f"{__name__}.{name}" for name in ("lorimath", "full", "_ufuncs", "_expressions")
)


# quorvex.mkl.expressions, loaded (with NumPy and MKL) on first use of one of these.
_EXPRESSIONS = frozenset({"evaluate", "validate", "re_evaluate", "fuse"})


class _PinInterfaceBeforeLoading:
    """A meta-path finder that finds nothing: it pins MKL's interface when an extension
    module is about to be looked up, then lets the regular finders load it."""

    quorvex_pin = True

    @staticmethod
    def find_spec(fullname: str, path: Any = None, target: Any = None) -> None:
        if fullname in _EXTENSIONS:
            from ._runtime import pin_lp64_interface

            pin_lp64_interface()


if not any(getattr(finder, "quorvex_pin", False) for finder in sys.meta_path):
    sys.meta_path.insert(0, _PinInterfaceBeforeLoading)


@functools.cache
def mkl_version() -> str:
    """MKL's version string, e.g. "Intel(R) oneAPI Math Kernel Library Version 2026.2-...".

    Asked of the loaded ``mkl_rt`` through its own ``MKL_Get_Version_String``.
    """
    from ._runtime import mkl_version_string

    return mkl_version_string()


def __getattr__(name: str) -> Any:
    if name in ("ffi", "lib"):
        from . import lorimath

        return getattr(lorimath, name)
    if name in _EXPRESSIONS:
        from . import expressions

        return getattr(expressions, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
