"""Intel MKL's vector math (VML) for Python.

``quorvex.mkl.lorimath`` is the compiled module: its ``ffi`` holds MKL's types and
its ``lib`` all 1044 VML functions, each calling ``mkl_rt`` with the GIL released.
``from quorvex.mkl import ffi, lib`` loads it on first use, so importing this
package stays cheap.
"""

from __future__ import annotations

__version__ = "0.1.0"
__all__ = ["ffi", "lib", "__version__"]


def __getattr__(name: str):
    if name in ("ffi", "lib"):
        from . import lorimath

        return getattr(lorimath, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
