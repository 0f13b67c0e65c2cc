"""Shared fixtures: the module under test and the catalogue it is checked against."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

from catalogue import vml  # noqa: E402  (the repository root is put on the path first)

FUNCTIONS = vml.functions()
FUNCTIONS_BY_NAME = {f.name: f for f in FUNCTIONS}


@pytest.fixture(scope="session")
def lorimath():
    from quorvex.mkl import lorimath

    return lorimath


@pytest.fixture(scope="session")
def ffi(lorimath):
    return lorimath.ffi


@pytest.fixture(scope="session")
def lib(lorimath):
    return lorimath.lib


@pytest.fixture(scope="session")
def mkl_direct(lorimath):
    """MKL without the module: the very libmkl_rt the module is linked to, through cffi's
    ABI mode, so both share one library and one per-thread state."""
    from kernels import DirectMKL

    with open("/proc/self/maps") as maps:
        path = next(line.split()[-1] for line in maps if "/libmkl_rt.so" in line)
    return DirectMKL(path)
