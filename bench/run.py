"""Run the benchmarks: ``python bench/run.py [filter]``.

Each ``bench/cases_*.py`` lists the cases of one part of the layer. For every case
the table shows the time per call of the layer, of a plain-Python baseline doing
the same steps, and the speed-up (baseline time / layer time; above 1 means the
layer is faster). Short calls also show their floor (see common.Case) and the
layer's time over it ("to floor": 1.00x would be the floor itself). The layer,
the baseline and the floor of a case take turns while they are timed.
"""

from __future__ import annotations

import importlib
import os
import pathlib
import platform
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from common import Case, best_seconds_per_call  # noqa: E402


def load_cases() -> list[Case]:
    cases: list[Case] = []
    for path in sorted(pathlib.Path(__file__).resolve().parent.glob("cases_*.py")):
        cases.extend(importlib.import_module(path.stem).CASES)
    return cases


def format_time(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:9.2f} ms"
    return f"{seconds * 1e6:9.3f} µs"


def processor_name() -> str:
    """The CPU model as the system names it (platform.processor() is empty on Linux)."""
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main(argv: list[str]) -> int:
    selected = [c for c in load_cases() if not argv or any(word in c.name for word in argv)]
    print(
        f"# {platform.system()} {platform.machine()}, {processor_name()}, {os.cpu_count()} CPUs, "
        f"Python {platform.python_version()}"
    )
    print(
        f"| {'operation':<44} | {'layer':>12} | {'baseline':>12} | {'speed-up':>8} "
        f"| {'floor':>12} | {'to floor':>8} | baseline |"
    )
    print(f"|{'-' * 46}|{'-' * 14}|{'-' * 14}|{'-' * 10}|{'-' * 14}|{'-' * 10}|----------|")
    for case in selected:
        fns = [case.layer, case.baseline] + ([case.floor] if case.floor is not None else [])
        layer, baseline, *floor = best_seconds_per_call(fns)
        floor_columns = f"{format_time(floor[0]):>12} | {layer / floor[0]:7.2f}x" if floor else f"{'-':>12} | {'-':>8}"
        print(
            f"| {case.name:<44} | {format_time(layer):>12} | {format_time(baseline):>12} "
            f"| {baseline / layer:7.2f}x | {floor_columns} | {case.baseline_label} |",
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
