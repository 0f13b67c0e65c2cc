"""``python -m quorvex.mkl``: a short self-check of the installed module."""

from __future__ import annotations

import math
import sys


def main() -> int:
    from quorvex.mkl import __version__, ffi, lib

    n = 5
    x = ffi.new("double[]", [0.0, 0.5, 1.0, 1.5, 2.0])
    y = ffi.new("double[]", n)
    print(f"quorvex.mkl {__version__}: {len(dir(lib))} VML functions, mode {lib.vmlGetMode():#x}")
    failures = 0
    for name, reference in (("vdExp", math.exp), ("vdSin", math.sin), ("vdErf", math.erf)):
        getattr(lib, name)(n, x, y)
        worst = max(abs(y[i] - reference(x[i])) for i in range(n))
        failures += worst > 1e-12
        print(f"  {name:6} {[round(y[i], 6) for i in range(n)]}  max error {worst:.1e}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
