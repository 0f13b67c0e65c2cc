"""MKL's single runtime, libmkl_rt.so.N, through ctypes: where it is, and its functions typed.

The package's one binding of mkl_rt: whatever N the mkl wheel ships, the extension modules
link the one it installs, and a handle on a loaded extension reaches the same library.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Any

_LIBRARY_PATTERN = r"libmkl_rt\.so\.\d+"


def _versioned_library_in(directory: str) -> str | None:
    try:
        names = os.listdir(directory)
    except OSError:
        return None
    hits = sorted(n for n in names if n.startswith("libmkl_rt.so.") and n[13:].isdigit())
    return os.path.join(directory, hits[-1]) if hits else None


def find_mkl_rt() -> str | None:
    """libmkl_rt.so.N where the mkl wheel puts it: the environment's lib/, else wherever the
    installed mkl distribution says (importlib.metadata is slower to import, so it comes second).
    """
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix)):
        found = _versioned_library_in(os.path.join(prefix, "lib"))
        if found:
            return found
    import re
    from importlib import metadata

    try:
        for entry in metadata.files("mkl") or ():
            if re.fullmatch(_LIBRARY_PATTERN, entry.name):
                return os.path.normpath(entry.locate())
    except metadata.PackageNotFoundError:
        pass
    import ctypes.util

    return ctypes.util.find_library("mkl_rt")


def loaded_mkl_rt() -> ctypes.CDLL:
    """A handle on the mkl_rt that the extension modules use, loading (and pinning) it first:
    through the ufunc module, which loads no cffi (its backend may turn a free-threaded
    interpreter's GIL back on)."""
    import importlib

    ufuncs = importlib.import_module("._ufuncs", __package__)
    # dlopen of the loaded extension yields a handle whose symbol lookup covers its
    # NEEDED libmkl_rt.so.N, whatever N is.
    return ctypes.CDLL(ufuncs.__file__)


def mkl_function(
    name: str, restype: Any, *argtypes: Any, library: ctypes.CDLL | None = None
) -> Any:
    """MKL's function `name`, typed, from `library` or else the mkl_rt the extension uses."""
    function = getattr(library if library is not None else loaded_mkl_rt(), name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function
