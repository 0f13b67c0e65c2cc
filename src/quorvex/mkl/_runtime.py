"""MKL's single runtime seen through ctypes: the 32-bit interface pin and the version string.

mkl_rt serves both 32-bit (LP64) and 64-bit (ILP64) integer interfaces and picks one
per process, once: from the first MKL_Set_Interface_Layer call, or else from the
MKL_INTERFACE_LAYER environment variable at the first MKL call. lorimath passes every
count, stride and status as a 32-bit int, which the ILP64 interface would misread, so
the package pins LP64 before the extension loads and refuses to load if the process
is already committed to ILP64.
"""

from __future__ import annotations

import ctypes
import os

from ._kernels import answer_vendor_check, warn_too_late
from ._mkl_rt import find_mkl_rt, mkl_function

# mkl_service.h
INTERFACE_LP64 = 0
INTERFACE_ILP64 = 1


def _refuse(reason: str) -> ImportError:
    return ImportError(
        f"quorvex.mkl cannot load: {reason}. MKL would then read every 32-bit count "
        "that quorvex.mkl passes as a 64-bit integer. MKL chooses its integer interface "
        "once per process, so run quorvex.mkl in a process that uses the 32-bit (LP64) "
        "interface: unset MKL_INTERFACE_LAYER or set it to LP64, and import quorvex.mkl's "
        "lib before other code selects ILP64."
    )


def pin_lp64_interface() -> None:
    """Commits mkl_rt to 32-bit integers, or raises ImportError if it uses 64-bit ones; first,
    under QUORVEX_MKL_KERNELS=cpu, puts the answer to MKL's vendor check in its way."""
    requested = os.environ.get("MKL_INTERFACE_LAYER", "")
    # MKL reads the variable case-insensitively; "GNU,ILP64" selects ILP64 too.
    if "ILP64" in requested.upper():
        raise _refuse(
            f"MKL_INTERFACE_LAYER={requested} in the environment selects MKL's 64-bit "
            "integer interface (ILP64)"
        )
    path = find_mkl_rt()
    if path is None:
        raise ImportError("quorvex.mkl cannot find MKL's runtime libmkl_rt.so: pip install mkl")
    # Before mkl_rt's first call loads libmkl_core: from then on MKL's own answer comes first.
    too_late = answer_vendor_check()
    mkl_rt = ctypes.CDLL(path)
    set_layer = mkl_function("MKL_Set_Interface_Layer", ctypes.c_int, ctypes.c_int, library=mkl_rt)
    # The first call decides; later calls return the layer already chosen.
    layer = set_layer(INTERFACE_LP64)
    if layer < 0 or layer & INTERFACE_ILP64:
        raise _refuse(
            "this process has already committed MKL to its 64-bit integer interface "
            f"(ILP64, interface layer {layer}), through an earlier MKL_Set_Interface_Layer "
            "call or MKL use under MKL_INTERFACE_LAYER=ILP64"
        )
    if too_late:  # says which kernels run, which takes a VML call: only under LP64
        warn_too_late(mkl_rt)


def mkl_version_string() -> str:
    """MKL's own version string, from MKL_Get_Version_String."""
    get_version = mkl_function("MKL_Get_Version_String", None, ctypes.c_char_p, ctypes.c_int)
    buffer = ctypes.create_string_buffer(256)
    get_version(buffer, len(buffer))
    return buffer.value.decode("ascii", "replace").strip()


def mkl_max_threads() -> int:
    """The number of threads MKL may use, from MKL_Get_Max_Threads."""
    return int(mkl_function("MKL_Get_Max_Threads", ctypes.c_int)())
