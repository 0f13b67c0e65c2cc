"""The dependencies that differ by interpreter, for the wheel built on it.

A free-threaded CPython 3.13 needs cffi 1.x (cffi 2 refuses that interpreter; it supports the
free-threaded 3.14) and a NumPy from 2.1, the first with wheels for it, up to 2.4, the last:
newer releases would be compiled for many minutes. cffi's header and NumPy's build the
modules, so the build takes the same ranges. A provider of scikit-build-core's dynamic
metadata, read where the wheel is built.
"""

from __future__ import annotations

import sys
import sysconfig
from collections.abc import Mapping
from typing import Any

REQUIRED = ["mkl>=2026.2,<2027"]


def free_threaded_313() -> bool:
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info[:2] == (3, 13)


def cffi() -> str:
    return "cffi>=1.17,<2" if free_threaded_313() else "cffi>=1.17"


def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> dict[str, Any]:
    numpy = ["numpy>=2.1,<2.5"] if free_threaded_313() else []
    return {"dependencies": [cffi(), *REQUIRED, *numpy]}


def get_requires_for_dynamic_metadata(settings: Mapping[str, Any]) -> list[str]:
    """cffi's header and NumPy's C headers build the modules."""
    return [cffi(), "numpy>=2,<2.5" if free_threaded_313() else "numpy>=2"]
