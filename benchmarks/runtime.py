"""The MKL runtime as the competitors reach it: its path, its thread count, ctypes and ABI mode."""

from __future__ import annotations

import atexit
import ctypes
import functools
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

# mkl_vml_defines.h: the accuracy bits of a VML mode word.
VML_LA = 0x1
VML_HA = 0x2
VML_EP = 0x3
ACCURACY_MODES = {"HA (high)": VML_HA, "LA (low)": VML_LA, "EP (enhanced performance)": VML_EP}

# MKL's own header declarations, for the competitors that need them spelled out.
MKL_DECLARATIONS = """
void vdAdd(const int n, const double a[], const double b[], double r[]);
void vdExp(const int n, const double a[], double r[]);
unsigned int vmlGetMode(void);
unsigned int vmlSetMode(const unsigned int newmode);
"""


@functools.cache
def module():
    from quorvex.mkl import lorimath

    return lorimath


def loaded_libraries() -> list[str]:
    """Paths of the shared libraries mapped into this process, in load order."""
    seen: dict[str, None] = {}
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 6 and fields[5].startswith("/") and ".so" in fields[5]:
                seen.setdefault(fields[5])
    return list(seen)


@functools.cache
def mkl_rt_path() -> str:
    """The libmkl_rt.so.N the module is linked against (loaded with it)."""
    module()
    for path in loaded_libraries():
        if Path(path).name.startswith("libmkl_rt.so"):
            return path
    raise RuntimeError("libmkl_rt is not loaded alongside quorvex.mkl.lorimath")


@functools.cache
def mkl_rt() -> ctypes.CDLL:
    return ctypes.CDLL(mkl_rt_path())


def set_mkl_threads(count: int) -> None:
    mkl_rt().MKL_Set_Num_Threads(count)


def mkl_max_threads() -> int:
    return mkl_rt().MKL_Get_Max_Threads()


def mkl_version() -> str:
    buffer = ctypes.create_string_buffer(256)
    mkl_rt().MKL_Get_Version_String(buffer, len(buffer))
    return buffer.value.decode().strip()


def vml_kernel_libraries() -> list[str]:
    """The CPU-specific VML kernels MKL dispatched to (loaded at the first VML call)."""
    lorimath = module()
    one = lorimath.ffi.new("double[1]")
    lorimath.lib.vdExp(1, one, one)
    return [
        Path(path).name for path in loaded_libraries() if Path(path).name.startswith("libmkl_vml_")
    ]


@functools.cache
def abi_mode():
    """cffi's ABI mode: `ffi.dlopen` of the same library with MKL's declarations."""
    import cffi

    ffi = cffi.FFI()
    ffi.cdef(MKL_DECLARATIONS)
    return ffi, ffi.dlopen(mkl_rt_path())


@functools.cache
def ctypes_functions(declared: bool) -> dict:
    """ctypes function pointers into libmkl_rt, with argtypes/restype set when `declared`."""
    library = ctypes.CDLL(mkl_rt_path())
    double_array = ctypes.POINTER(ctypes.c_double)
    signatures = {
        "vdAdd": ([ctypes.c_int, double_array, double_array, double_array], None),
        "vdExp": ([ctypes.c_int, double_array, double_array], None),
    }
    functions = {}
    for name, (argtypes, restype) in signatures.items():
        function = library[name]  # a fresh pointer object, so the two flavours do not share
        function.restype = restype
        if declared:
            function.argtypes = argtypes
        functions[name] = function
    return functions


@functools.cache
def _reference_program() -> Path | None:
    """reference.c compiled against libmkl_rt, or None without a C compiler."""
    compiler = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if compiler is None:
        return None
    library = Path(mkl_rt_path())
    directory = Path(tempfile.mkdtemp(prefix="quorvex-bench-"))
    atexit.register(shutil.rmtree, directory, ignore_errors=True)
    program = directory / "reference"
    build = [compiler, "-O2", "-pthread", str(Path(__file__).with_name("reference.c"))]
    build += ["-o", str(program), str(library), f"-Wl,-rpath,{library.parent}"]
    if subprocess.run(build, check=False, capture_output=True).returncode != 0:
        return None
    return program


def _run_reference(arguments: list[str]) -> dict[tuple[str, int], float] | None:
    """reference.c's "name size value" lines, keyed by (name, size); None without a C compiler."""
    program = _reference_program()
    if program is None:
        return None
    environment = dict(os.environ, MKL_NUM_THREADS="1")
    output = subprocess.run(
        [str(program), *arguments], capture_output=True, text=True, env=environment, check=True
    ).stdout
    results = {}
    for line in output.splitlines():
        name, size, value = line.split()
        results[name, int(size)] = float(value)
    return results


def c_reference(calls: int) -> dict[tuple[str, int], float] | None:
    """What the same MKL calls cost from C (reference.c), keyed by (name, size).

    ns per call for the tiny calls, seconds per call for the large ones; MKL on one
    thread. Returns None without a C compiler.
    """
    return _run_reference([str(calls)])


def c_thread_reference(n: int, calls_per_thread: int) -> dict[str, float] | None:
    """reference.c's two-thread experiment: median seconds of one thread making all the
    calls ("one_thread") and of two threads sharing them ("two_threads")."""
    results = _run_reference(["threads", str(n), str(calls_per_thread)])
    return results and {name: seconds for (name, _), seconds in results.items()}
