"""Scratch buffers convert, discard and free what they should, and a million calls, successes
and failures mixed, leave resident memory and the arguments' reference counts unchanged."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest
from vml_cases import mode, vml_state  # noqa: F401  (fixture)

MILLION = 1_000_000
# Large enough to catch a leak of one byte per call over the million, far above the noise of
# the allocator and the interpreter.
RSS_GROWTH_LIMIT = 512 * 1024
UNDER_A_SANITIZER = bool(os.environ.get("QUORVEX_SANITIZED"))


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- The scratch-buffer path. ---------------------------------------------------------------

# Element counts below, at and beyond the inline part of the scratch arena (512 bytes).
SIZES = [1, 63, 64, 65, 300, 5_000]
# These tests show that the data reached MKL, also under valgrind, whose emulation of the
# reciprocal approximations MKL uses changes the last bits of divisions.
RTOL = 1e-9


@pytest.mark.parametrize("n", SIZES)
def test_scratch_inputs_reach_mkl(ffi, lib, n):
    a = np.linspace(-3.0, 3.0, n)
    b = np.cos(a)
    out = np.empty(n)
    lib.vdadd(
        [n], a.tolist(), tuple(b.tolist()), ffi.from_buffer("double[]", out, require_writable=True)
    )
    np.testing.assert_array_equal(out, a + b)


@pytest.mark.parametrize("n", SIZES)
def test_scratch_complex_inputs_reach_mkl(ffi, lib, n):
    z = np.linspace(-1.0, 1.0, n) + 1j * np.linspace(2.0, -2.0, n)
    out = np.empty(n, np.complex128)
    pairs = [[v.real, v.imag] for v in z]
    lib.vzMulByConj(n, pairs, pairs, ffi.from_buffer("MKL_Complex16[]", out, require_writable=True))
    np.testing.assert_allclose(out, np.abs(z) ** 2, rtol=RTOL)


def test_scratch_outputs_are_discarded(lib):
    out = [7.0] * 4
    assert lib.vdExp(4, [0.0] * 4, out) is None
    assert out == [7.0] * 4


def test_scratch_buffers_fill_every_position(ffi, lib):
    """Nine positions of one call converted from sequences, some inline and some on the heap."""
    n = 100
    a, b = np.linspace(1.0, 2.0, n), np.linspace(3.0, 4.0, n)
    out = np.empty(n)
    lib.vmdlinearfrac(
        [n], a.tolist(), b.tolist(), [2.0], [1.0], [0.5], [-1.0],
        ffi.from_buffer("double[]", out, require_writable=True), [mode("HA")],
    )  # fmt: skip
    np.testing.assert_allclose(out, (2.0 * a + 1.0) / (0.5 * b - 1.0), rtol=RTOL)


@pytest.mark.parametrize("bad_position", [1, 2, 3])
def test_scratch_failure_midway_changes_nothing(ffi, lib, bad_position):
    args = [[4], [1.0] * 100, [2.0] * 100, ffi.new("double[100]", [5.0] * 100)]
    originals = [list(a) for a in args]
    args[bad_position] = [1.0, "not a number"]
    with pytest.raises(TypeError):
        lib.vdadd(*args)
    for position, (arg, original) in enumerate(zip(args, originals, strict=True)):
        if position != bad_position:
            assert list(arg) == original


# --- A million calls. -----------------------------------------------------------------------


def mixed_calls(ffi, lib):
    """Calls of every conversion path, each either succeeding or failing at a chosen point,
    with the objects they pass."""
    a, out = ffi.new("double[200]", [0.5] * 200), ffi.new("double[200]")
    fa, fout = ffi.new("float[8]", [0.25] * 8), ffi.new("float[8]")
    za, zout = ffi.new("MKL_Complex16[4]", [[1.0, 1.0]] * 4), ffi.new("MKL_Complex16[4]")
    short, long_ = [0.5] * 8, [0.25] * 200  # inline and heap scratch buffers
    count, stride, accuracy = [8], [2], [mode("HA")]
    exponent = [0.5, -0.25]
    callback = ffi.callback("VMLErrorCallBack", lambda context: 0)
    calls = [
        (lib.vdAdd, (8, a, a, out)),
        (lib.vdadd, (count, short, short, out)),
        (lib.VDEXP, (count, long_, out)),
        (lib.vmdexp, (count, long_, out, accuracy)),
        (lib.vzPowx, (4, za, exponent, zout)),
        (lib.vsLinearFrac, (8, fa, fa, 1.0, 2.0, 3.0, 4.0, fout)),
        (lib.vdpacki, (count, long_, stride, out)),
        (lib.vdLn, (1, [-1.0], out)),  # a domain error: MKL calls the callback
        (lib.vmlSetErrorCallBack, (callback,)),
        (lib.vmlGetErrorCallBack, ()),
        (lib.vmlsetmode, ([lib.vmlGetMode()],)),
        (lib.vdAdd, (8, short, long_, "not an array")),  # fails after two scratch buffers
        (lib.vdadd, (count, long_, long_, None)),
        (lib.vdAdd, (8, a, a)),  # arity
        (lib.vmdAdd, (8, a, a, out, "not a mode")),
        (lib.vdPowx, (8, a, "not a number", out)),
        (lib.vzPowx, (4, za, [1.0, 2.0, 3.0], zout)),
        (lib.vmlSetErrorCallBack, (out,)),
    ]
    objects = [
        a,
        out,
        fa,
        fout,
        za,
        zout,
        short,
        long_,
        count,
        stride,
        accuracy,
        exponent,
        callback,
    ]
    return calls, objects


def run_calls(calls, total: int) -> int:
    failures = 0
    ncalls = len(calls)
    for i in range(total):
        function, args = calls[i % ncalls]
        try:
            function(*args)
        except (TypeError, ValueError, OverflowError):
            failures += 1
    return failures


@pytest.mark.usefixtures("vml_state")
def test_a_million_calls_leak_no_memory_and_no_references(ffi, lib):
    calls, objects = mixed_calls(ffi, lib)
    run_calls(calls, 50_000)  # warm every path, the allocator and the interpreter's caches
    references = [sys.getrefcount(o) for o in objects]
    before = resident_bytes()

    failures = run_calls(calls, MILLION)

    growth = resident_bytes() - before
    assert 0 < failures < MILLION
    assert [sys.getrefcount(o) for o in objects] == references
    if not UNDER_A_SANITIZER:  # AddressSanitizer's quarantine holds freed memory back
        assert growth < RSS_GROWTH_LIMIT, f"resident memory grew by {growth} bytes"
