"""Timing helpers: warm-up, calibrated loops and medians of repeated runs."""

from __future__ import annotations

import os
import statistics
import time
import timeit
from dataclasses import dataclass


@dataclass(frozen=True)
class Budget:
    """How long each measurement may take; the quick mode shrinks all of it."""

    seconds_per_repeat: float
    repeats: int

    @staticmethod
    def for_mode(quick: bool) -> Budget:
        return Budget(0.004, 5) if quick else Budget(0.025, 11)


def seconds_per_run(statement: str, names: dict, budget: Budget) -> float:
    """Median seconds of one execution of `statement`.

    `names` become local variables of the timing loop, so looking them up costs
    what it costs in a function body, not a global lookup. The loop count is
    calibrated so that one repeat lasts about `budget.seconds_per_repeat`; the
    calibration runs and one more repeat are the warm-up. Statements slower than
    a quarter of a second get three repeats and no extra warm-up.
    """
    setup = "\n".join(f"{name} = _names[{name!r}]" for name in names) or "pass"
    timer = timeit.Timer(statement, setup, globals={"_names": names})
    timer.timeit(1)  # one-time costs (MKL loads a kernel at a function's first call)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= budget.seconds_per_repeat / 4 or number >= 1 << 24:
            break
        number *= 2 if elapsed <= 0 else max(2, min(64, int(budget.seconds_per_repeat / elapsed)))
    seconds_per_call = elapsed / number
    if seconds_per_call > 0.25:
        return statistics.median(timer.repeat(3, 1))
    number = max(1, round(budget.seconds_per_repeat / seconds_per_call))
    timer.timeit(number)  # warm-up at the final loop count
    return statistics.median(timer.repeat(budget.repeats, number)) / number


def _busy_seconds() -> float:
    """CPU time all processes used since boot, including time the hypervisor stole."""
    with open("/proc/stat") as stat:
        fields = [int(x) for x in stat.readline().split()[1:]]
    user, nice, system, _idle, _iowait, irq, softirq, steal = fields[:8]
    return (user + nice + system + irq + softirq + steal) / os.sysconf("SC_CLK_TCK")


def _own_seconds() -> float:
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


class BackgroundLoad:
    """How many CPUs other processes (and the hypervisor) kept busy while a block ran.

    Shared machines make timings drift; this number says how quiet the machine was.
    """

    cpus: float | None = None

    def __enter__(self) -> BackgroundLoad:
        try:
            self._start = (time.perf_counter(), _busy_seconds(), _own_seconds())
        except (OSError, ValueError):
            self._start = None
        return self

    def __exit__(self, *exc_info) -> None:
        if self._start is None:
            return
        wall, busy, own = self._start
        elapsed = time.perf_counter() - wall
        others = (_busy_seconds() - busy) - (_own_seconds() - own)
        self.cpus = max(0.0, others / elapsed) if elapsed > 0 else None


def interleaved_samples(
    cases: dict[str, tuple[str, dict]], budget: Budget, rounds: int
) -> dict[str, list[float]]:
    """`seconds_per_run` of each case in each of `rounds` rounds, the cases taking turns.

    For ratios of close timings: taking turns spreads a drift of the machine's speed
    over every case instead of charging it to whichever ran during it.
    """
    samples: dict[str, list[float]] = {key: [] for key in cases}
    for _ in range(rounds):
        for key, (statement, names) in cases.items():
            samples[key].append(seconds_per_run(statement, names, budget))
    return samples


def interleaved_seconds(cases: dict[str, tuple[str, dict]], budget: Budget, rounds: int) -> dict:
    """The median over the rounds of `interleaved_samples`, per case."""
    return {
        key: statistics.median(values)
        for key, values in interleaved_samples(cases, budget, rounds).items()
    }
