"""VML's per-thread state seen from Python: the mode word and the error status.

MKL keeps one mode word and one error status per thread. ``mode`` sets and restores
the calling thread's mode; ``errstate``/``seterr`` choose, per error kind, what the
vml operations do with the status MKL reports for a call (raise, warn or ignore).
The error policy lives in a context variable, so it too belongs to the calling
thread (and to the asyncio task), like NumPy's.
"""

from __future__ import annotations

import contextlib
import contextvars
import operator
import warnings
from types import TracebackType
from typing import Literal, TypeAlias

from . import _vml_defines as defines
from .lorimath import lib

Action: TypeAlias = Literal["ignore", "warn", "raise"]
ACTIONS = ("ignore", "warn", "raise")

# Error kinds and the MKL status that reports each.
KIND_STATUS = {
    "domain": defines.STATUS_ERRDOM,
    "sing": defines.STATUS_SING,
    "overflow": defines.STATUS_OVERFLOW,
    "underflow": defines.STATUS_UNDERFLOW,
    "accuracy": defines.STATUS_ACCURACYWARNING,
}
STATUS_KIND = {status: kind for kind, status in KIND_STATUS.items()}
STATUS_TEXT = {
    defines.STATUS_ERRDOM: "an argument is outside the function's domain",
    defines.STATUS_SING: "an argument caused a singularity",
    defines.STATUS_OVERFLOW: "a result overflowed",
    defines.STATUS_UNDERFLOW: "a result underflowed",
    defines.STATUS_ACCURACYWARNING: "the accuracy mode is not available, a lower one was used",
    defines.STATUS_BADSIZE: "the element count is not positive",
    defines.STATUS_BADMEM: "an invalid pointer was passed",
}
STATUS_NAME = {
    value: "VML_" + name
    for name, value in vars(defines).items()
    if name.startswith("STATUS_") and isinstance(value, int)
}
# NumPy's defaults: warn on invalid, divide-by-zero and overflow, ignore underflow.
DEFAULT_POLICY: dict[str, Action] = {
    "domain": "warn",
    "sing": "warn",
    "overflow": "warn",
    "underflow": "ignore",
    "accuracy": "ignore",
}


class VMLError(FloatingPointError):
    """MKL reported an error status for a vml operation that ``errstate`` says to raise."""

    def __init__(self, message: str, function: str, status: int) -> None:
        super().__init__(message)
        self.function = function
        self.status = status
        self.kind = STATUS_KIND.get(status)

    def __reduce__(self) -> tuple[type[VMLError], tuple[str, str, int]]:
        # Rebuilt from all three arguments, so it survives the trip back from a worker process.
        return type(self), (self.args[0], self.function, self.status)


class VMLWarning(RuntimeWarning):
    """MKL reported an error status for a vml operation that ``errstate`` says to warn of."""


def _by_status(policy: dict[str, Action]) -> dict[int, Action] | None:
    """The policy as looked up after each call; None when every kind is ignored."""
    if all(action == "ignore" for action in policy.values()):
        return None
    return {KIND_STATUS[kind]: action for kind, action in policy.items()}


_policy: contextvars.ContextVar[tuple[dict[str, Action], dict[int, Action] | None]]
_policy = contextvars.ContextVar(
    "quorvex_vml_errstate", default=(DEFAULT_POLICY, _by_status(DEFAULT_POLICY))
)


def active_policy() -> dict[int, Action] | None:
    """Status -> action for the calling context, or None if nothing needs checking."""
    return _policy.get()[1]


def report(function: str, status: int, policy: dict[int, Action]) -> None:
    """Acts on a non-zero status that MKL reported for ``vml.<function>``."""
    action = policy.get(status, "raise")  # BADSIZE, BADMEM: vml never lets them happen
    if action == "ignore":
        return
    text = STATUS_TEXT.get(status, "unknown error status")
    message = f"vml.{function}: {text} ({STATUS_NAME.get(status, status)})"
    if action == "raise":
        raise VMLError(message, function, status)
    warnings.warn(message, VMLWarning, stacklevel=4)


def geterr() -> dict[str, Action]:
    """What the vml operations do for each error kind in the calling context."""
    return dict(_policy.get()[0])


def _overrides(
    all: Action | None = None,
    **kinds: Action | None,
) -> dict[str, Action]:
    """The kinds that a seterr/errstate call names, checked; ``all`` fills in the others."""
    for kind in kinds.keys() - KIND_STATUS.keys():
        raise TypeError(f"unknown error kind {kind!r}; the kinds are {', '.join(KIND_STATUS)}")
    named = {kind: action for kind, action in kinds.items() if action is not None}
    chosen: dict[str, Action] = {}
    for kind, action in {**dict.fromkeys(KIND_STATUS, all), **named}.items():
        if action is None:
            continue
        if action not in ACTIONS:
            raise ValueError(f"{kind}={action!r}: the action must be one of {', '.join(ACTIONS)}")
        chosen[kind] = action
    return chosen


def _install(overrides: dict[str, Action]) -> contextvars.Token[object]:
    policy = {**_policy.get()[0], **overrides}
    return _policy.set((policy, _by_status(policy)))  # type: ignore[return-value]


def seterr(
    all: Action | None = None,
    *,
    domain: Action | None = None,
    sing: Action | None = None,
    overflow: Action | None = None,
    underflow: Action | None = None,
    accuracy: Action | None = None,
) -> dict[str, Action]:
    """Sets what the vml operations do per error kind; returns the previous settings.

    ``all`` sets every kind not named explicitly. Kinds: ``domain`` (an argument outside
    the domain, e.g. ``ln(-1)``), ``sing`` (a singularity, e.g. ``ln(0)``), ``overflow``,
    ``underflow`` and ``accuracy`` (the accuracy mode asked for is not available).
    Actions: ``"raise"`` a ``VMLError``, ``"warn"`` with a ``VMLWarning``, ``"ignore"``.
    While any kind is not ignored, each vml operation consumes MKL's status (clears it
    before and after the call); with every kind ignored it leaves the status alone, for
    ``lib.vmlGetErrStatus()`` to read.
    """
    previous = geterr()
    _install(
        _overrides(
            all, domain=domain, sing=sing, overflow=overflow, underflow=underflow,
            accuracy=accuracy,
        )
    )  # fmt: skip
    return previous


class errstate(contextlib.ContextDecorator):
    """Context manager (or decorator) that sets the error actions for its block.

    ``with vml.errstate(domain="raise"): vml.ln(x)`` raises ``VMLError`` if ``x``
    holds a negative number. Takes the arguments of ``seterr``; restores the previous
    settings on exit. It reads MKL's status after each vml operation in the block,
    on the thread that made the call; raw ``lib`` calls are not checked.
    """

    def __init__(
        self,
        all: Action | None = None,
        *,
        domain: Action | None = None,
        sing: Action | None = None,
        overflow: Action | None = None,
        underflow: Action | None = None,
        accuracy: Action | None = None,
    ) -> None:
        self._overrides = _overrides(
            all, domain=domain, sing=sing, overflow=overflow, underflow=underflow,
            accuracy=accuracy,
        )  # fmt: skip
        self._tokens: list[contextvars.Token[object]] = []

    def __enter__(self) -> errstate:
        self._tokens.append(_install(self._overrides))
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        _policy.reset(self._tokens.pop())  # type: ignore[arg-type]


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
            "not set them (lib.vmlSetMode passes any word to MKL unchanged)"
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
    return int(lib.vmlGetMode())


def set_mode(value: int) -> int:
    """Sets the calling thread's VML mode; returns the previous mode word.

    MKL changes only the fields that ``value`` sets (accuracy, error mode, denormal
    handling, ...): ``set_mode(vml.EP)`` keeps the error mode as it was.
    """
    return int(lib.vmlSetMode(checked_mode(value)))


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
    setting, and the previous mode is restored on exit. MKL keeps the mode per thread:
    other threads are not affected, and threads started inside the block do not
    inherit it. One exception to the restore: once set, MKL cannot return the denormal
    field to FTZDAZ_CURRENT, so a block that set FTZDAZ_ON or FTZDAZ_OFF leaves
    FTZDAZ_OFF behind (the same unless flush-to-zero was enabled in the FPU).
    """

    def __init__(self, value: int) -> None:
        self.value = checked_mode(value)
        self._previous: list[int] = []

    def __enter__(self) -> mode:
        self._previous.append(set_mode(self.value))
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        previous = self._previous.pop()
        if self.value & defines.FTZDAZ_MASK and not previous & defines.FTZDAZ_MASK:
            previous |= defines.FTZDAZ_OFF
        lib.vmlSetMode(previous)
