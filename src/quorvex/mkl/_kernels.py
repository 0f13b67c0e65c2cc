"""Which VML kernel library MKL runs and what chose it, and the switch QUORVEX_MKL_KERNELS.

MKL chooses its CPU path once per process, for all of its domains: the first call that
dispatches (VML, BLAS or FFT alike) loads libmkl_<path> and libmkl_vml_<path> together.
On the way it asks ``mkl_serv_get_cpu_true()`` for the function that says whether the
CPU is Intel's; on any other CPU it runs its generic kernels, whatever instruction sets
the CPU has, and ignores MKL_ENABLE_INSTRUCTIONS and every MKL_CBWR branch but
COMPATIBLE.

libmkl_core makes that query through its PLT, resolved in the process's global scope,
and mkl_rt loads libmkl_core there (RTLD_GLOBAL) at its first call other than
MKL_Set_Interface_Layer. Under ``QUORVEX_MKL_KERNELS=cpu`` the package loads its own
answer, libquorvex_kernel_choice.so, into the global scope before that: the query then
finds it first, and MKL chooses by the CPU's instruction sets. Once libmkl_core is
loaded, its own definition comes first and nothing loaded later can answer, even if MKL
has not asked yet; so the package checks that its answer is the one the global scope
resolves, and warns when MKL was loaded by someone else first.
"""

from __future__ import annotations

import ctypes
import functools
import os
import re
import sys
import types
import warnings
from dataclasses import dataclass
from typing import Any

from . import KernelChoiceWarning, _kernel_setting
from ._mkl_rt import loaded_mkl_rt, mkl_function

SWITCH = "QUORVEX_MKL_KERNELS"
ANSWER_LIBRARY = "libquorvex_kernel_choice.so"
VENDOR_QUERY = "mkl_serv_get_cpu_true"
INTEL = "GenuineIntel"

# mkl_types.h: MKL_CBWR_Get's query and the branches it may return.
MKL_CBWR_BRANCH = 1
MKL_CBWR_BRANCH_OFF, MKL_CBWR_AUTO = 1, 2
# The branch MKL_CBWR_Get_Auto_Branch reports when MKL_ENABLE_INSTRUCTIONS caps it, by the
# variable's value (MKL names both after the same instruction sets).
CAPPED_BRANCH = {"SSE4_2": 8, "AVX2": 10, "AVX512": 12, "AVX512_E1": 14, "AVX10": 15}

_VML_LIBRARY = re.compile(r"libmkl_vml_(\w+)\.so(\.\d+)*")


@dataclass(frozen=True)
class Kernels:
    """The VML kernel library this process runs, and what chose it."""

    library: str  # its file name, "libmkl_vml_avx512.so.3"
    chosen_by: str  # "cpu features", "vendor check", "MKL_CBWR" or "MKL_ENABLE_INSTRUCTIONS"
    setting: str  # QUORVEX_MKL_KERNELS when MKL was loaded: "cpu" or "mkl"
    vendor: str  # the CPU's vendor as cpuid names it: "GenuineIntel", "AuthenticAMD", ...
    switched: bool  # MKL asked the package's answer to its vendor check: the switch took effect
    variable: str = ""  # the MKL variable that chose, with its value: "MKL_CBWR=COMPATIBLE"

    @property
    def reason(self) -> str:
        """What chose the library, in words: "chosen by MKL's vendor check"."""
        cause = {
            "cpu features": "the CPU's instruction sets",
            "vendor check": "MKL's vendor check",
        }.get(self.chosen_by, self.variable or self.chosen_by)
        return f"chosen by {cause}"

    def __str__(self) -> str:
        context = f"{self.vendor} CPU, {SWITCH}={self.setting}"
        if self.setting == "cpu" and not self.switched:
            context += " came too late: MKL had chosen its kernels before quorvex.mkl loaded it"
        elif self.switched and self.vendor != INTEL:
            context += ": quorvex.mkl answered MKL's vendor check"
        return f"{self.library}, {self.reason} ({context})"


class _Decision:
    """What the first extension load decided; later loads find it here."""

    setting: str | None = None  # QUORVEX_MKL_KERNELS then
    answer: ctypes.CDLL | None = None  # the vendor answer, once loaded


@functools.cache
def cpu_vendor() -> str:
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("vendor_id"):
                    return line.partition(":")[2].strip()
    except OSError:
        pass
    return "unknown"


def mapped_vml_libraries() -> list[str]:
    """The VML kernel libraries in this process's memory map, by file name, in load order."""
    names: dict[str, None] = {}
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                name = os.path.basename(line.split()[-1])
                if _VML_LIBRARY.fullmatch(name):
                    names.setdefault(name)
    except OSError:
        pass
    return list(names)


def _answer_path() -> str:
    import quorvex.mkl

    for directory in quorvex.mkl.__path__:
        candidate = os.path.join(directory, ANSWER_LIBRARY)
        if os.path.exists(candidate):
            return candidate
    raise ImportError(f"quorvex.mkl's {ANSWER_LIBRARY} is missing: reinstall quorvex-mkl")


def _address(function: Any) -> int | None:
    return ctypes.cast(function, ctypes.c_void_p).value


def answer_vendor_check() -> bool:
    """Decides the switch once, before the package first loads mkl_rt: under
    QUORVEX_MKL_KERNELS=cpu, puts the package's vendor answer in the global scope.

    Returns True if the switch asks for it but it cannot reach MKL any more."""
    if _Decision.setting is not None:
        return False
    _Decision.setting = _kernel_setting()
    if _Decision.setting != "cpu":
        return False
    if mapped_vml_libraries():  # MKL has dispatched already: its choice is made
        return True
    answer = _Decision.answer = ctypes.CDLL(_answer_path(), mode=ctypes.RTLD_GLOBAL)
    # The definition the global scope resolves is the one libmkl_core's query binds to.
    resolved = getattr(ctypes.CDLL(None), VENDOR_QUERY)
    return _address(resolved) != _address(getattr(answer, VENDOR_QUERY))


def warn_too_late(mkl_rt: ctypes.CDLL) -> None:
    """Warns that the switch has no effect, naming the kernels that run (a non-Intel CPU's
    only: on Intel CPUs MKL chooses by the instruction sets anyway)."""
    running = observe(mkl_rt)
    if running.vendor == INTEL:
        return
    warnings.warn(
        f"{SWITCH}=cpu has no effect: MKL was already in use in this process before "
        f"quorvex.mkl loaded it, and it runs {running.library}, {running.reason}. Import "
        "quorvex.mkl's lib or vml before any other library calls MKL.",
        KernelChoiceWarning,
        stacklevel=_first_frame_outside(),
    )


def _first_frame_outside() -> int:
    """The stack level of the code whose import loaded the extension, past this package's
    frames (warnings skips the import machinery's by itself)."""
    package, level = os.path.dirname(__file__), 1
    frame: types.FrameType | None = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename.startswith((package, "<frozen")):
        level += not frame.f_code.co_filename.startswith("<frozen")
        frame = frame.f_back
    return level


def _vendor_queries() -> int:
    if _Decision.answer is None:
        return 0
    queries = _Decision.answer.quorvex_vendor_queries
    queries.restype, queries.argtypes = ctypes.c_int, []
    return int(queries())


def _mkl_int(mkl_rt: ctypes.CDLL, name: str, *args: int) -> int:
    function = mkl_function(name, ctypes.c_int, *[ctypes.c_int] * len(args), library=mkl_rt)
    return int(function(*args))


def _mapped_after_a_call(mkl_rt: ctypes.CDLL) -> list[str]:
    """mapped_vml_libraries(), after one VML call through `mkl_rt` if none was made yet: MKL
    loads its kernels at the first call."""
    libraries = mapped_vml_libraries()
    if not libraries:
        one = (ctypes.c_double * 1)(0.0)
        argtypes = ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p
        mkl_function("vdExp", None, *argtypes, library=mkl_rt)(1, one, one)
        libraries = mapped_vml_libraries()
    return libraries


def loaded_kernel() -> str:
    """The suffix of the VML kernel library MKL runs ("def", "avx512", ...), of the first
    where several are mapped; "" if none is."""
    libraries = _mapped_after_a_call(loaded_mkl_rt())
    match = _VML_LIBRARY.fullmatch(libraries[0]) if libraries else None
    return match[1] if match else ""


def observe(mkl_rt: ctypes.CDLL) -> Kernels:
    """Kernels as this process shows them, through a handle on the loaded mkl_rt; makes
    one VML call first if none was made yet (MKL loads its kernels at the first call)."""
    libraries = _mapped_after_a_call(mkl_rt)
    if len(libraries) != 1:
        raise RuntimeError(f"expected one VML kernel library in this process, found {libraries}")
    vendor, switched = cpu_vendor(), _vendor_queries() > 0
    chosen_by, variable = "cpu features", ""
    instructions = os.environ.get("MKL_ENABLE_INSTRUCTIONS", "").strip().upper()
    branch = _mkl_int(mkl_rt, "MKL_CBWR_Get", MKL_CBWR_BRANCH)
    if branch not in (MKL_CBWR_BRANCH_OFF, MKL_CBWR_AUTO):
        chosen_by = "MKL_CBWR"
        variable = f"MKL_CBWR={os.environ['MKL_CBWR']}" if "MKL_CBWR" in os.environ else ""
    elif vendor != INTEL and not switched:
        chosen_by = "vendor check"
    elif instructions and _mkl_int(mkl_rt, "MKL_CBWR_Get_Auto_Branch") == CAPPED_BRANCH.get(
        instructions
    ):
        chosen_by, variable = "MKL_ENABLE_INSTRUCTIONS", f"MKL_ENABLE_INSTRUCTIONS={instructions}"
    setting = _Decision.setting or _kernel_setting()
    return Kernels(libraries[0], chosen_by, setting, vendor, switched, variable)


@functools.cache
def kernels() -> Kernels:
    """The VML kernel library that runs in this process, and what chose it.

    ``library`` is its file name; ``chosen_by`` says what chose it: "cpu features" (MKL's
    dispatch on the CPU's instruction sets), "vendor check" (MKL's generic kernels for a CPU
    not made by Intel), "MKL_CBWR" or "MKL_ENABLE_INSTRUCTIONS"; ``setting`` is
    QUORVEX_MKL_KERNELS as it stood when MKL was loaded, and ``switched`` whether it took
    effect. Makes one VML call if none was made yet."""
    return observe(loaded_mkl_rt())
