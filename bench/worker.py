"""Measures one workload on one in-process system, in a process of its own.

    python bench/worker.py SYSTEM WORKLOAD REPEATS LEAST MOST

Prints one JSON line: the seconds of every timed run, the memory added at peak
(KiB) and the result's terms as [exponents..., coefficient] rows (null for
workloads without a polynomial result).  ginac_driver.cpp prints the same.
"""

from __future__ import annotations

import argparse
import json
import time

from systems import SYSTEMS
from workloads import WORKLOADS


def timed(compute):
    """Runs `compute` once and returns its duration and result.

    The duration is the smaller of the wall-clock and the process-CPU times:
    the CPU clock leaves out the waits for a core on a busy shared machine,
    the wall clock is the finer one for runs of microseconds.
    """
    cpu, wall = time.process_time(), time.perf_counter()
    result = compute()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return min(wall, cpu), result


def timed_runs(compute, before_run, repeats: int, least: float, most: float):
    """One warm-up run, then timed runs: at least `repeats` and `least` seconds of them, at most `most` seconds."""
    before_run()
    result = compute()
    times: list[float] = []
    spent = 0.0
    while (len(times) < repeats or spent < least) and spent < most:
        before_run()
        result = None  # the previous result is freed outside the timed region
        seconds, result = timed(compute)
        times.append(seconds)
        spent += seconds
    return times, result


def status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak() -> int:
    """Restarts the kernel's peak-RSS counter (VmHWM) and returns the resident size it starts from."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return status_kib("VmRSS")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("system", choices=SYSTEMS)
    parser.add_argument("workload", choices=WORKLOADS)
    parser.add_argument("repeats", type=int)
    parser.add_argument("least", type=float)
    parser.add_argument("most", type=float)
    args = parser.parse_args()

    system, workload = SYSTEMS[args.system](), WORKLOADS[args.workload]
    compute = workload.prepare(system)
    start_kib = reset_peak()
    times, result = timed_runs(compute, system.before_run, args.repeats, args.least, args.most)
    peak_kib = status_kib("VmHWM") - start_kib
    terms = None
    if workload.variables:
        terms = [[*exponents, c] for exponents, c in system.canonical(result, workload.variables).items()]
    print(json.dumps({"times": times, "peak_kib": peak_kib, "terms": terms}))


if __name__ == "__main__":
    main()
