"""VML's accuracy mode, per thread, seen from Python.

MKL keeps one mode word per thread: its accuracy (HA, LA, EP), its error handling and its
denormal handling. ``mode`` sets and restores the calling thread's mode; every word is
checked first, so that a word that would unmask floating-point traps (and end the process
at the next invalid operation) or that mixes accuracies is refused with nothing set.
"""

from __future__ import annotations

import contextlib
import operator
from types import TracebackType

from . import _ufuncs
from . import _vml_defines as defines

# ---------------------------------------------------------------------------
# The mode word.


class ModeWord(int):
    """A VML mode word that remembers which accuracy constants it was made from.

    MKL's accuracy field is one number: ``HA | LA`` is 3, which MKL reads as ``EP``. The
    constants ``vml.HA``, ``vml.LA`` and ``vml.EP`` are of this type, and so is any word
    ``|`` makes from them, so that such a mix is refused instead of being taken as ``EP``.
    """

    accuracies: frozenset[str]

    def __new__(cls, value: int, accuracies: frozenset[str] = frozenset()) -> ModeWord:
        word = super().__new__(cls, value)
        word.accuracies = accuracies
        return word

    def __or__(self, other: object) -> ModeWord:
        if not isinstance(other, int):
            return NotImplemented
        mixed = self.accuracies | getattr(other, "accuracies", frozenset())
        return ModeWord(int(self) | int(other), mixed)

    __ror__ = __or__

    def __reduce__(self) -> tuple[type[ModeWord], tuple[int, frozenset[str]]]:
        return type(self), (int(self), self.accuracies)


LA, HA, EP = (ModeWord(getattr(defines, name), frozenset({name})) for name in ("LA", "HA", "EP"))

_ACCURACY_NAMES = ("LA", "HA", "EP")
_FPUMODE_NAMES = ("FLOAT_CONSISTENT", "DOUBLE_CONSISTENT", "RESTORE")
_ERRMODE_FLAGS = ("IGNORE", "ERRNO", "STDERR", "EXCEPT", "CALLBACK", "NOERR")
_TRAP_FLAGS = ("INVALID", "DIVBYZERO", "OVERFLOW", "UNDERFLOW")
_KNOWN_BITS = (
    defines.ACCURACY_MASK
    | defines.FPUMODE_MASK
    | defines.ERRMODE_MASK
    | defines.NUM_THREADS_OMP_MASK
    | defines.TBB_PARTITIONER_MASK
    | defines.FTZDAZ_MASK
    | defines.TRAP_EXCEPTIONS_MASK
)
_checked_modes: set[int] = set()


def checked_mode(value: int) -> int:
    """``value`` as a mode word, after checking that MKL would understand it and that it
    cannot end the process. Raises ValueError otherwise; nothing is set either way."""
    if type(value) is int and value in _checked_modes:
        return value
    word = operator.index(value)
    if not 0 <= word <= 0xFFFFFFFF or word & ~_KNOWN_BITS:
        raise ValueError(f"mode {value:#x} has bits that are not VML mode flags")
    traps = [f"TRAP_{f}" for f in _TRAP_FLAGS if word & getattr(defines, f"TRAP_{f}")]
    if traps:
        raise ValueError(
            f"mode {value:#x} sets {' | '.join(traps)}: these unmask floating-point traps, and "
            "the next such operation on the thread would end the process with SIGFPE. vml does "
            "not set them (MKL's vmlSetMode takes any word unchanged)"
        )
    mixed = sorted(getattr(value, "accuracies", ()))
    if len(mixed) > 1:
        raise ValueError(
            f"mode {value:#x} combines the accuracies {' and '.join(mixed)}; MKL would read "
            "the sum as another one. Give one of HA, LA or EP"
        )
    if word & defines.ACCURACY_MASK not in (0, defines.LA, defines.HA, defines.EP):
        raise ValueError(f"mode {value:#x}: the accuracy must be one of HA, LA or EP")
    if word & defines.FTZDAZ_MASK not in (0, defines.FTZDAZ_ON, defines.FTZDAZ_OFF):
        raise ValueError(f"mode {value:#x}: the denormal field must be FTZDAZ_ON or FTZDAZ_OFF")
    if type(value) is int and len(_checked_modes) < 256:
        _checked_modes.add(word)
    return word


def get_mode() -> int:
    """The calling thread's VML mode word."""
    return int(_ufuncs.get_mode())


def set_mode(value: int) -> int:
    """Sets the calling thread's VML mode; returns the previous mode word.

    MKL changes only the fields that ``value`` sets (accuracy, error mode, denormal
    handling, ...): ``set_mode(vml.EP)`` keeps the error mode as it was.
    """
    return int(_ufuncs.set_mode(checked_mode(value)))


def describe_mode(word: int) -> str:
    """The mode word spelled with the constants' names, e.g. "HA | ERRMODE_DEFAULT"."""

    def named(mask: int, names: tuple[str, ...]) -> list[str]:
        return [name for name in names if getattr(defines, name) == word & mask]

    parts = named(defines.ACCURACY_MASK, _ACCURACY_NAMES)
    parts += named(defines.FPUMODE_MASK, _FPUMODE_NAMES)
    errmode = word & defines.ERRMODE_MASK
    if errmode == defines.ERRMODE_DEFAULT:
        parts.append("ERRMODE_DEFAULT")
    else:
        parts += [
            f"ERRMODE_{f}" for f in _ERRMODE_FLAGS if errmode & getattr(defines, f"ERRMODE_{f}")
        ]
    parts += named(defines.FTZDAZ_MASK, ("FTZDAZ_ON", "FTZDAZ_OFF", "FTZDAZ_CURRENT"))
    parts += [f"TRAP_{f}" for f in _TRAP_FLAGS if word & getattr(defines, f"TRAP_{f}")]
    return " | ".join(parts)


class mode(contextlib.ContextDecorator):
    """Context manager (or decorator) that sets the calling thread's VML mode for its block.

    ``with vml.mode(vml.EP):`` runs the block's VML calls, raw ``lib`` calls included,
    in enhanced-performance accuracy. Fields that ``value`` leaves at zero keep their
    setting. On exit the mode word is the one before, bit for bit (FTZDAZ_CURRENT too,
    which no call of MKL's sets back), and so are the FPU's flush-to-zero and
    denormals-are-zero bits. MKL keeps the mode per thread: other threads are not
    affected, and threads started inside the block do not inherit it.
    """

    def __init__(self, value: int) -> None:
        self.value = checked_mode(value)
        self._previous: list[tuple[int, int]] = []

    def __enter__(self) -> mode:
        state = _ufuncs._thread_state()
        set_mode(self.value)
        self._previous.append(state)
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        _ufuncs._restore_thread_state(self._previous.pop())
