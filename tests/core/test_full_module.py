"""quorvex.mkl.full: every VML name MKL's header declares and mkl_rt exports, through the same
wrappers as lorimath; and the header reader stops on a declaration it cannot map."""

from __future__ import annotations

import ctypes
import re
import shutil

import cffi
import numpy as np
import pytest
from vml_cases import _locate_header, mode

from catalogue import mkl_header

# MKL's three declaration macros, read without a C parser: the oracle for the module's names.
DECLARED = re.compile(
    r"^\s*(?:_Mkl_Vml_Api|_mkl_vml_api|_MKL_VML_API)\s*\(\s*[^,]+,\s*(\w+)\s*,", re.M
)
N = 8


@pytest.fixture(scope="module")
def full():
    from quorvex.mkl import full

    return full


@pytest.fixture(scope="module")
def mkl_rt_path(full):
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps if "/libmkl_rt.so" in line)


def is_fortran(name: str) -> bool:
    """The Fortran-interface names are all lower or all upper case; C names mix both."""
    return name in (name.lower(), name.upper())


def symbol(name: str) -> str:
    return name + "_" if is_fortran(name) else name


def test_lib_holds_exactly_the_declared_names_mkl_rt_exports(full, mkl_rt_path):
    declared = DECLARED.findall(_locate_header("mkl_vml_functions.h").read_text())
    mkl_rt = ctypes.CDLL(mkl_rt_path)
    exported = {name for name in declared if hasattr(mkl_rt, symbol(name))}
    assert set(dir(full.lib)) == exported
    assert {"vdExp2", "vsErfcx", "vdJn", "vzAddI", "VMDEXPI_64", "vmlSetMode_64"} <= exported
    # Half precision is declared but not exported; so is one misspelt name.
    assert not {"vhExp", "vErfcxI"} & exported


INTEGERS = ("int", "long long", "unsigned int")
# The real type of each element type, by the C name cffi gives it in either module.
REAL_PART = {
    "float": "float",
    "double": "double",
    "MKL_Complex8": "float",
    "MKL_Complex16": "double",
}
REAL_PART |= {f"struct _{name}": real for name, real in REAL_PART.items()}


def argument(ffi, ctype, position: int, name: str, arrays: list):
    """A value for one parameter, from its type and place alone: the count first, the mode
    last in mode variants, index or mask arrays of zeros in pack and unpack, increments of 2
    elsewhere; arrays of 2N elements with values in the domain of most functions."""
    pointer = ctype.kind == "pointer"
    element = ctype.item if pointer else ctype
    if element.kind == "primitive" and element.cname in INTEGERS:
        if position == 0:
            value = N
        elif position == len(ffi.typeof(arrays[0]).args) - 1 and name.lower().startswith("vm"):
            value = mode("HA")
        elif pointer and "pack" in name.lower():
            return ffi.new(f"{element.cname}[]", 2 * N)
        else:
            value = 2
        return ffi.new(f"{element.cname}[1]", [value]) if pointer else value
    if not pointer:
        return {"real": 1.25, "imag": 0.5} if element.kind == "struct" else 1.25
    array = ffi.new(f"{element.cname}[]", 2 * N)
    real = REAL_PART[element.cname]
    values = np.random.default_rng(len(arrays)).uniform(
        0.5, 2.0, ffi.sizeof(array) // ffi.sizeof(real)
    )
    ffi.memmove(array, values.astype(real).tobytes(), ffi.sizeof(array))
    arrays.append(array)
    return array


def one_per_signature(full) -> dict[str, str]:
    """signature -> the first name with it, among the elementwise, pack and unpack functions."""
    chosen = {}
    for name in sorted(dir(full.lib)):
        if not name.lower().startswith("vml"):
            chosen.setdefault(full.ffi.typeof(getattr(full.lib, name)).cname, name)
    return chosen


def test_one_call_per_signature_matches_mkl_called_directly(full, mkl_rt_path):
    ffi, lib = full.ffi, full.lib
    abi = cffi.FFI()
    abi.cdef("typedef struct _MKL_Complex8 { float real, imag; } MKL_Complex8;"
             "typedef struct _MKL_Complex16 { double real, imag; } MKL_Complex16;")  # fmt: skip
    chosen = one_per_signature(full)
    for cname, name in chosen.items():
        abi.cdef(cname.replace("(*)", f" {symbol(name)}", 1) + ";")
    direct = abi.dlopen(mkl_rt_path)
    assert len(chosen) > 300
    for name in chosen.values():
        results = []
        for function, handle_ffi in (
            (getattr(lib, name), ffi),
            (getattr(direct, symbol(name)), abi),
        ):
            function_type = handle_ffi.typeof(function)
            arrays: list = [function]  # the first entry only tells the arity
            args = [
                argument(handle_ffi, t, i, name, arrays) for i, t in enumerate(function_type.args)
            ]
            lib.vmlClearErrStatus()
            function(*args)
            outputs = [bytes(handle_ffi.buffer(a)) for a in arrays[1:]]
            results.append((lib.vmlClearErrStatus(), outputs))
        assert results[0] == results[1], name


def test_64_bit_service_functions_share_the_thread_state(full):
    lib = full.lib
    before = lib.vmlGetMode()
    try:
        assert lib.vmlSetMode_64(mode("EP")) == before
        assert lib.vmlGetMode_64() == lib.vmlGetMode() == lib.VMLGETMODE_64()
        assert lib.vmlsetmode_64([before]) & 0xF == mode("EP")
        assert lib.vmlSetErrStatus_64(-1) == 0 and lib.vmlGetErrStatus_64() == -1
        assert lib.vmlClearErrStatus_64() == -1 and lib.vmlGetErrStatus() == 0
        with pytest.raises(OverflowError):
            lib.vmlSetMode_64(-1)
    finally:
        lib.vmlSetMode(before)
        lib.vmlClearErrStatus()


def test_64_bit_counts(full):
    ffi, lib = full.ffi, full.lib
    x = np.linspace(0.0, 1.0, 7)
    y = np.empty_like(x)
    lib.vdExp_64(x.size, ffi.from_buffer("double[]", x), ffi.from_buffer("double[]", y, True))
    np.testing.assert_allclose(y, np.exp(x), rtol=1e-15)
    lib.VDLN_64([x.size], ffi.from_buffer("double[]", y), ffi.from_buffer("double[]", y, True))
    np.testing.assert_allclose(y, x, atol=1e-15)


# --- The header reader. ---------------------------------------------------------------------

TYPES = "typedef struct _MKL_Complex8 { float real; float imag; } MKL_Complex8;\n"


@pytest.mark.parametrize(
    ("declaration", "message"),
    [
        ("_Mkl_Vml_Api(void, vdFoo, (const int n, const long double a[], double r[]));",
         r"mkl_vml_functions.h:3: vdFoo, parameter 2 has the unknown C type 'long double'"),
        ("_Mkl_Vml_Api(wchar_t, vdBar, (const int n));",
         r"mkl_vml_functions.h:3: the result of vdBar has the unknown C type 'wchar_t'"),
        ("void vdBaz(int n);", r"mkl_vml_functions.h:3: vdBaz is not declared by MKL's macros"),
    ],
)  # fmt: skip
def test_a_declaration_the_catalogue_cannot_map_stops_the_build(tmp_path, declaration, message):
    (tmp_path / "mkl_vml_functions.h").write_text(f"{TYPES}typedef int wchar_t;\n{declaration}\n")
    compiler = shutil.which("g++") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C preprocessor")
    with pytest.raises(mkl_header.CatalogueError, match=message):
        mkl_header.Header(mkl_header.preprocess(tmp_path, compiler)).declarations()
