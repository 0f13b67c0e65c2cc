"""MKL called without the module, and what MKL's kernel libraries do differently.

mkl_rt picks one VML kernel library per process, by CPU: ``libmkl_vml_def`` on AMD,
``libmkl_vml_avx512`` or ``libmkl_vml_avx2`` on Intel, ``libmkl_vml_cmpt`` under
``MKL_CBWR=COMPATIBLE``. Their results differ in the last bits, in signs of zero and
in which errors they report. Where the module's duty is to pass MKL's answer through,
the tests compare it bit for bit with MKL called through cffi's ABI mode on the same
library; IEEE and NumPy expectations are held only where every kernel meets them, and
the exceptions are the one table below.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

import cffi
import pytest

from catalogue import operations, vml

# --- The kernel library MKL loaded. ---------------------------------------------------------

# The libraries whose behaviour the tables record; on any other (a newer CPU's, say) every
# kernel-dependent expectation is left unchecked.
CHARACTERIZED = operations.CHARACTERIZED_KERNELS


@functools.cache
def loaded_kernel() -> str:
    """The suffix of the VML kernel library in this process: "def", "avx512", ..."""
    from quorvex.mkl import kernels

    return re.fullmatch(r"libmkl_vml_(\w+)\.so.*", kernels().library).group(1)


# --- The kernel-dependent behaviours. -------------------------------------------------------


@dataclass(frozen=True)
class Departure:
    """An expectation of the tests that some kernel libraries do not meet."""

    expectation: str  # "ieee", "accuracy", "status nan|pole|overflow" or "modes differ"
    base: str
    precisions: str
    what: str  # what those kernels do instead
    kernels: frozenset[str]  # libmkl_vml_<kernel> suffixes seen doing it


def _unreported_statuses() -> tuple[Departure, ...]:
    """The results the loops look for themselves, which MKL called directly leaves without
    an error status: one table, the operation records', for the product and the tests."""
    bases = {f.base.lower(): f.base for f in vml.functions()}
    return tuple(
        Departure(f"status {result}", bases[name], precisions,
                  f"{entry.what} with no error status",
                  frozenset(CHARACTERIZED if "*" in entry.kernels else entry.kernels))
        for name, policy in operations.POLICIES.items()
        for precisions, entry in policy.unreported.items()
        for result in sorted(entry.results)
        if name in bases
    )  # fmt: skip


DEPARTURES = (
    Departure(
        "ieee", "Pow3o2", "sd", "Pow3o2(-0) is +0, not -0", frozenset({"avx512", "avx2", "mc3"})
    ),
    *_unreported_statuses(),
    Departure(
        "accuracy",
        "LinearFrac",
        "d",
        "up to 1e5 eps from the exact result in HA and LA",
        frozenset({"avx2", "mc3"}),
    ),
    Departure(
        "modes differ",
        "*",
        "sdcz",
        "HA, LA and EP give the same bits for every operation",
        frozenset({"cmpt"}),
    ),
)


def departure(expectation: str, base: str, precision: str) -> Departure | None:
    """The table's entry if this process's kernel may not meet the expectation."""
    kernel = loaded_kernel()
    for entry in DEPARTURES:
        if (
            entry.expectation == expectation
            and entry.base in (base, "*")
            and precision in entry.precisions
            and (kernel in entry.kernels or kernel not in CHARACTERIZED)
        ):
            return entry
    return None


def holds(expectation: str, base: str, precision: str) -> bool:
    return departure(expectation, base, precision) is None


def skip_unless_holds(expectation: str, base: str, precision: str) -> None:
    entry = departure(expectation, base, precision)
    if entry is not None:
        pytest.skip(f"libmkl_vml_{loaded_kernel()}: {entry.what}")


# --- MKL without the module. ----------------------------------------------------------------

_TYPES = """
typedef struct _MKL_Complex8 { float real; float imag; } MKL_Complex8;
typedef struct _MKL_Complex16 { double real; double imag; } MKL_Complex16;
"""


def _declaration(fn: vml.Function) -> str:
    return f"{fn.result} {fn.symbol}({', '.join(fn.params) or 'void'});"


class DirectMKL:
    """The catalogue's functions called straight in mkl_rt through cffi's ABI mode.

    Attributes carry the catalogue's names (``vdadd``), so a call built for ``lib`` runs
    here unchanged; ``ffi`` is this handle's own, for the arrays passed to it."""

    def __init__(self, path: str) -> None:
        self.ffi = cffi.FFI()
        wanted = [f for f in vml.functions() if f.family != "service"]
        wanted += [f for f in vml.functions() if f.name in ("vmlGetErrStatus", "vmlClearErrStatus")]
        self.ffi.cdef(_TYPES + "\n".join(_declaration(f) for f in wanted))
        self._library = self.ffi.dlopen(path)
        self._symbols = {f.name: f.symbol for f in wanted}

    def __getattr__(self, name: str):
        return getattr(self._library, self._symbols[name])
