"""Intel MKL's vector math (VML) for Python.

``quorvex.mkl.lorimath`` is the compiled module: its ``ffi`` holds MKL's types and
its ``lib`` all 1044 VML functions, each calling ``mkl_rt`` with the GIL released.
``quorvex.mkl.vml`` is the NumPy layer over it. ``from quorvex.mkl import ffi, lib``
loads the compiled module on first use, so importing this package stays cheap: it
loads neither MKL nor the extension nor NumPy.

Before the extension loads, MKL is pinned to its 32-bit integer interface (LP64),
the one whose counts the module passes; if the process already uses the 64-bit
interface, importing the extension raises ImportError instead (see _runtime.py).
Then, only under ``QUORVEX_MKL_KERNELS=cpu``, the package's answer to MKL's vendor check
is loaded process-wide, so that MKL chooses its kernels by the CPU's instruction sets
on any x86-64 CPU (see _kernels.py); ``kernels()`` says which kernels run and why.
"""

from __future__ import annotations

import functools
import os
import sys

TYPE_CHECKING = False  # typing itself takes milliseconds to import; checkers know this name

__version__ = "0.1.0"
__all__ = [
    "KernelChoiceWarning",
    "Kernels",
    "__version__",
    "evaluate",
    "ffi",
    "fuse",
    "kernels",
    "lib",
    "mkl_version",
    "re_evaluate",
    "validate",
]

if TYPE_CHECKING:
    from typing import Any

    from ._kernels import Kernels, kernels
    from .lorimath import ffi, lib

KERNEL_SETTINGS = ("cpu", "mkl")


class KernelChoiceWarning(RuntimeWarning):
    """QUORVEX_MKL_KERNELS=cpu could not take effect: MKL had chosen its kernels before
    quorvex.mkl loaded it."""


def _kernel_setting() -> str:
    """QUORVEX_MKL_KERNELS, checked: "cpu" or "mkl" (unset or empty means "mkl")."""
    value = os.environ.get("QUORVEX_MKL_KERNELS", "").strip()
    if value.lower() in KERNEL_SETTINGS:
        return value.lower()
    if not value:
        return "mkl"
    raise ValueError(
        f"QUORVEX_MKL_KERNELS={value!r} is not a setting quorvex.mkl knows: use 'cpu' (MKL "
        "chooses its kernels by the CPU's instruction sets) or 'mkl' (MKL's own choice, the "
        "default when unset)"
    )


# A mistyped setting fails here rather than silently meaning MKL's own choice.
_kernel_setting()

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
    if name in ("kernels", "Kernels"):
        from . import _kernels

        return getattr(_kernels, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
