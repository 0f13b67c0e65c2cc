"""Prints where the build finds MKL's headers, libmkl_rt.so.N, cffi's parse_c_type.h and NumPy's
C headers.

One ``NAME=path`` line each, read by CMakeLists.txt. The MKL library's version
suffix changes between releases and there may be no unversioned name, so it is
looked up among the files the installed ``mkl`` distribution owns.
"""

from __future__ import annotations

import glob
import os
import re
import sys
from importlib import metadata


def owned_file(distribution: str, pattern: str) -> str | None:
    try:
        files = metadata.files(distribution) or []
    except metadata.PackageNotFoundError:
        return None
    for entry in files:
        if re.fullmatch(pattern, entry.name):
            return os.path.realpath(entry.locate())
    return None


def prefix_file(subdir: str, pattern: str) -> str | None:
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix, "/usr/local", "/usr")):
        hits = sorted(glob.glob(os.path.join(prefix, subdir, pattern)))
        if hits:
            return os.path.realpath(hits[-1])
    return None


def main() -> int:
    import cffi

    header = (
        owned_file("mkl-include", r"mkl_vml_functions\.h")
        or owned_file("mkl-devel", r"mkl_vml_functions\.h")
        or prefix_file("include", "mkl_vml_functions.h")
    )
    library = owned_file("mkl", r"libmkl_rt\.so\.\d+") or prefix_file("lib", "libmkl_rt.so.[0-9]*")
    parse_c_type = os.path.join(os.path.dirname(cffi.__file__), "parse_c_type.h")
    missing = [
        what
        for what, path in (("MKL headers (mkl-include)", header), ("libmkl_rt (mkl)", library))
        if path is None
    ]
    if missing or not os.path.exists(parse_c_type):
        print("cannot find: " + ", ".join(missing or ["cffi's parse_c_type.h"]), file=sys.stderr)
        return 1
    print(f"MKL_INCLUDE_DIR={os.path.dirname(header)}")
    print(f"MKL_RT_LIBRARY={library}")
    print(f"CFFI_INCLUDE_DIR={os.path.dirname(parse_c_type)}")
    try:
        import numpy
    except ImportError:
        print("cannot find NumPy's C headers: pip install 'numpy>=2'", file=sys.stderr)
        return 1
    print(f"NUMPY_INCLUDE_DIR={numpy.get_include()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
