"""The tuple-kind call wrappers: arity, conversions by C type, scratch buffers, direct calls."""

from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap

import pytest
from conftest import FUNCTIONS
from test_service_functions import preserved_vml_state  # noqa: F401  (a fixture)

pytestmark = pytest.mark.usefixtures("preserved_vml_state")  # MKL sets its error status freely

TUPLE_FUNCTIONS = [f for f in FUNCTIONS if f.family != "service"]
SENTINEL = -7.5


def run_isolated(code: str, **env: str) -> str:
    """Runs code in a fresh interpreter; for calls that leave MKL's per-thread state altered."""
    prelude = textwrap.dedent("""
        import cffi
        from quorvex.mkl import ffi, lib
        maps = open("/proc/self/maps").read().splitlines()
        mkl_rt = next(line.split()[-1] for line in maps if "libmkl_rt.so" in line)
        abi = cffi.FFI()
    """)
    done = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, **env},
    )
    return done.stdout.strip().splitlines()[-1]


def test_arity_message_for_every_function(lib):
    for f in TUPLE_FUNCTIONS:
        function, expected = getattr(lib, f.name), len(f.params)
        for given in (0, expected - 1, expected + 1):
            with pytest.raises(TypeError) as raised:
                function(*[object()] * given)  # invalid arguments: the count is checked first
            assert (
                str(raised.value)
                == f"{f.name}() takes exactly {expected} arguments ({given} given)"
            )
    with pytest.raises(TypeError, match="keyword"):
        lib.vdAdd(n=3)


@pytest.fixture
def operands(ffi):
    a = ffi.new("double[]", [1.0, 2.0, 3.0])
    b = ffi.new("double[]", [10.0, 20.0, 30.0])
    result = ffi.new("double[]", [SENTINEL] * 3)
    return a, b, result


@pytest.mark.parametrize("count, status", [(0, 0), (-1, -1)])  # -1: MKL's VML_STATUS_BADSIZE
def test_counts_mkl_treats_as_nothing_to_do(lib, operands, count, status):
    a, b, result = operands
    lib.vmlClearErrStatus()
    assert lib.vdAdd(count, a, b, result) is None
    assert list(result) == [SENTINEL] * 3
    assert lib.vmlGetErrStatus() == status, "MKL saw the count unchanged"


def test_null_pointers_pass_with_count_zero(ffi, lib):
    assert lib.vdAdd(0, ffi.NULL, ffi.NULL, ffi.NULL) is None
    assert lib.vdadd([0], ffi.NULL, ffi.NULL, ffi.NULL) is None


@pytest.mark.parametrize(
    "name, arguments, error",
    [
        ("vdAdd", lambda a, b, r: (2**32 + 3, a, b, r), OverflowError),
        ("vdAdd", lambda a, b, r: (-(2**31) - 1, a, b, r), OverflowError),
        ("vdAdd", lambda a, b, r: (3.0, a, b, r), TypeError),
        ("vmdAdd", lambda a, b, r: (3, a, b, r, 2**63), OverflowError),
        ("vmdAdd", lambda a, b, r: (3, [1.0, 2, 3], (4.0, 5, 6), r, "mode"), TypeError),
        ("VMDADD", lambda a, b, r: ([3], [1.0, 2, 3], [4.0, 5, 6], r, ["mode"]), TypeError),
        ("vmdadd", lambda a, b, r: ([3], a, b, r, 2), TypeError),  # a value, not a pointer
        ("vdadd", lambda a, b, r: (3, a, b, r), TypeError),
        ("vdAdd", lambda a, b, r: (3, [1.0, 2, 3], [1.0, 2, 3], "result"), TypeError),
        ("vdPowx", lambda a, b, r: (3, [1.0, 2, 3], "2", r), TypeError),
        ("vdPowx", lambda a, b, r: (3, a, 2**2000, r), OverflowError),
        ("vdLinearFrac", lambda a, b, r: (3, [1.0, 2, 3], b, 1, 2, 3, None, r), TypeError),
    ],
)
def test_a_failed_conversion_calls_nothing(lib, operands, name, arguments, error):
    a, b, result = operands
    args = arguments(a, b, result)
    snapshot = repr(args)
    with pytest.raises(error):
        getattr(lib, name)(*args)
    assert list(result) == [SENTINEL] * 3 and repr(args) == snapshot


@pytest.mark.parametrize(
    "name, count_and_mode",
    [
        ("vdAdd", lambda ffi: (3,)),
        ("vmdAdd", lambda ffi: (3, 2)),
        ("vdadd", lambda ffi: ([3],)),
        ("VDADD", lambda ffi: ((3,),)),
        ("vmdadd", lambda ffi: (ffi.new("int *", 3), ffi.new("long long *", 2))),
        ("VMDADD", lambda ffi: (ffi.new("int[1]", [3]), [2])),
    ],
)
def test_c_and_fortran_forms(ffi, lib, operands, name, count_and_mode):
    a, b, result = operands
    count, *mode = count_and_mode(ffi)
    getattr(lib, name)(count, a, b, result, *mode)
    assert list(result) == [11.0, 22.0, 33.0]


def test_sequences_are_inputs_only(ffi, lib):
    result = ffi.new("double[3]")
    lib.vdAdd(3, [1.0, 2.0, 3.0], (10, 20, 30), result)
    assert list(result) == [11.0, 22.0, 33.0]
    listed = [SENTINEL] * 3
    lib.vdAdd(3, [1.0, 2.0, 3.0], [1.0, 2.0, 3.0], listed)
    assert listed == [SENTINEL] * 3, "results written into a scratch copy are dropped"


def test_in_place_and_repeated_arguments(ffi, lib):
    a = ffi.new("double[]", [1.0, 2.0, 3.0])
    lib.vdAdd(3, a, a, a)
    assert list(a) == [2.0, 4.0, 6.0]
    shared = [1.0, 2.0, 3.0]
    lib.vdMul(3, shared, shared, a)
    assert list(a) == [1.0, 4.0, 9.0] and shared == [1.0, 2.0, 3.0]


def test_numpy_buffers(ffi, lib):
    np = pytest.importorskip("numpy")
    x, out = np.arange(4.0), np.zeros(4)
    lib.vdSqr(
        4, ffi.from_buffer("double[]", x), ffi.from_buffer("double[]", out, require_writable=True)
    )
    assert out.tolist() == [0.0, 1.0, 4.0, 9.0]
    z, zout = np.array([1 + 1j, 2.0, -3j]), np.zeros(3, complex)
    lib.vzMul(3, *[ffi.from_buffer("MKL_Complex16[]", v) for v in (z, z)],
              ffi.from_buffer("MKL_Complex16[]", zout, require_writable=True))  # fmt: skip
    assert zout.tolist() == (z * z).tolist()


def test_a_four_million_element_list(ffi, lib):
    n = 4_000_000
    values = [float(i) for i in range(n)]
    result = ffi.new("double[]", n)
    lib.vdAdd(n, values, values, result)
    assert (result[0], result[n // 2], result[n - 1]) == (0.0, float(n), 2.0 * (n - 1))


def test_an_empty_list_as_count_reads_as_zero(ffi, lib):
    # The backend asks for one byte for an empty list; MKL reads four. The bytes beyond
    # must not be what the previous call left in the scratch space (here 0x1100).
    big = ffi.new("double[4352]")
    for _ in range(50):
        lib.vdexp([0x1100], big, big)
        result = ffi.new("double[4]", [7.0] * 4)
        lib.vdexp([], ffi.new("double[4]", [1.0] * 4), result)
        assert list(result) == [7.0] * 4


@pytest.mark.parametrize(
    "exponent, single, double",
    [
        (3, 8.0, 8.0),
        (True, 2.0, 2.0),
        (-1.0, 0.5, 0.5),  # -1.0 is also the conversion's error value
        (-1.00000001, 0.5, 2.0**-1.00000001),  # narrows to exactly -1.0 in single precision
        (1e300, math.inf, math.inf),  # beyond float's range: +inf, not an error
        (-1e300, 0.0, 0.0),
        (math.nan, math.nan, math.nan),
    ],
)
def test_real_exponent(ffi, lib, exponent, single, double):
    for name, mode, c_type, expected in (
        ("vsPowx", (), "float", single),
        ("vdPowx", (), "double", double),
        ("vmsPowx", (2,), "float", single),
        ("vmdPowx", (2,), "double", double),
    ):
        result = ffi.new(f"{c_type}[1]")
        getattr(lib, name)(1, [2.0], exponent, result, *mode)
        assert result[0] == pytest.approx(expected, rel=1e-15, nan_ok=True), name


@pytest.mark.parametrize("precision", ["d", "s"])
def test_linear_frac_takes_four_coefficients_in_order(ffi, lib, precision):
    c_type = "double" if precision == "d" else "float"
    x, y, coefficients = [1.0, 2.0], [1.0, 1.0], (2.0, 3.0, 5.0, 7.0)  # (2x + 3) / (5y + 7)
    for name, args in (
        (f"v{precision}LinearFrac", (2, x, y, *coefficients)),
        (f"vm{precision}LinearFrac", (2, x, y, *coefficients)),
        (f"v{precision}linearfrac", ([2], x, y, *([c] for c in coefficients))),
    ):
        result = ffi.new(f"{c_type}[2]")
        getattr(lib, name)(*args, result, *((2,) if name.startswith("vm") else ()))
        assert list(result) == pytest.approx([5 / 12, 7 / 12], rel=1e-6), name


def test_float_coefficient_beyond_range_is_infinite(ffi, lib):
    result = ffi.new("float[1]")
    for coefficient, expected in ((1e300, math.inf), (-1e300, -math.inf)):
        lib.vsLinearFrac(1, [1.0], [0.0], coefficient, 0.0, 0.0, 1.0, result)  # x * coefficient
        assert result[0] == expected


@pytest.mark.parametrize("name", ["vzPowx", "vcPowx", "vmzPowx", "vmcPowx"])
@pytest.mark.parametrize("form", ["cdata", "list", "tuple", "dict"])
def test_complex_exponent_by_value(ffi, lib, name, form):
    c_type = "MKL_Complex16" if "z" in name else "MKL_Complex8"
    exponent = {
        "cdata": ffi.new(f"{c_type} *", [2.0, 0.0])[0],
        "list": [2.0, 0.0],
        "tuple": (2.0, 0.0),
        "dict": {"real": 2.0, "imag": 0.0},
    }[form]
    base = ffi.new(f"{c_type}[]", [(1.0, 1.0), (0.0, 3.0)])
    result = ffi.new(f"{c_type}[2]")
    getattr(lib, name)(2, base, exponent, result, *((2,) if name.startswith("vm") else ()))
    squares = [complex(r.real, r.imag) for r in result]
    assert squares == pytest.approx([2j, -9], abs=1e-5)
    if form == "cdata":
        assert (exponent.real, exponent.imag) == (2.0, 0.0)
    with pytest.raises(TypeError):
        getattr(lib, name)(2, base, "2", result, *((2,) if name.startswith("vm") else ()))


def test_direct_call_entries_have_the_catalogue_signatures(ffi, lib):
    for f in FUNCTIONS:
        declared = ffi.typeof(f"{f.result}(*)({', '.join(f.params) or 'void'})")
        assert ffi.typeof(ffi.addressof(lib, f.name)) is declared, f.name


def test_direct_call_entries_forward_to_mkl(ffi, lib, operands):
    a, b, result = operands
    ffi.addressof(lib, "vdAdd")(3, a, b, result)
    assert list(result) == [11.0, 22.0, 33.0]
    ffi.addressof(lib, "VDSUB")(ffi.new("int *", 3), b, a, result)  # the count by pointer
    assert list(result) == [9.0, 18.0, 27.0]
    base = ffi.new("MKL_Complex16[]", [(1.0, 1.0)])
    squared = ffi.new("MKL_Complex16[1]")
    exponent = ffi.new("MKL_Complex16 *", [2.0, 0.0])
    ffi.addressof(lib, "vzPowx")(1, base, exponent[0], squared)
    assert complex(squared[0].real, squared[0].imag) == pytest.approx(2j)
    assert (exponent.real, exponent.imag) == (2.0, 0.0)
    assert ffi.addressof(lib, "vmlGetMode")() == lib.vmlGetMode()
    assert ffi.addressof(lib, "vmlGetErrStatus")() == lib.vmlGetErrStatus()
    callback = ffi.addressof(lib, "vmlGetErrorCallBack")()
    assert ffi.cast("uintptr_t", callback) == ffi.cast("uintptr_t", lib.vmlGetErrorCallBack())


def test_values_mkl_keeps_per_thread_pass_unchanged():
    # A mode of -1 and the set-mode value 0xFFFFFFFF turn on floating-point traps that no
    # later mode clears, so they run in a throwaway interpreter and are compared with
    # MKL called directly.
    code = """
        abi.cdef("void vmdAdd(int, double *, double *, double *, long long);"
                 "unsigned int vmlSetMode(unsigned int); unsigned int vmlGetMode(void);")
        rt = abi.dlopen(mkl_rt)
        a = [1.0, 2.0, 3.0]
        ours, theirs = ffi.new("double[3]"), abi.new("double[3]")
        lib.vmdAdd(3, a, a, ours, -1)
        rt.vmdAdd(3, a, a, theirs, -1)
        lib.vmlSetMode(0xFFFFFFFF)
        mode_ours = lib.vmlGetMode()
        rt.vmlSetMode(0xFFFFFFFF)
        print(list(ours) == list(theirs), mode_ours == rt.vmlGetMode() == lib.vmlGetMode())
    """
    assert run_isolated(code) == "True True"


def test_lock_released_during_a_long_mkl_call():
    # With a long switch interval a waiting thread gets the interpreter lock only when the
    # main thread gives it up, so the watcher sees "in call" only if the wrapper released it.
    code = """
        import sys, threading
        n = 1_000_000
        x = ffi.new("double[]", [1.5] * n)
        lib.vdTGamma(16, x, x)  # loads MKL's kernels before the watched call
        phase, seen, go = ["before"], [], threading.Event()
        watcher = threading.Thread(target=lambda: (go.wait(), seen.append(phase[0])))
        watcher.start()
        sys.setswitchinterval(60)
        phase[0] = "in call"
        go.set()
        lib.vdTGamma(n, x, x)
        phase[0] = "after"
        watcher.join()
        print(seen)
    """
    assert run_isolated(code, MKL_NUM_THREADS="1") == "['in call']"
