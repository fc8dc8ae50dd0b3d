"""KalVora's expand against SymPy, SymEngine, python-flint and GiNaC, and KalVora's own scaling.

    python bench/run.py [--only W2,W7.expand] [--peers SymEngine,GiNaC] [--quick]
                        [--repeats 5] [--least 0.5] [--most 20] [--timeout 300]

Installs missing peers (pip; apt-get for GiNaC) and builds the GiNaC driver
into bench/out/.  Each system/workload pair then runs in a fresh process that
builds its input, makes one warm-up run and then timed runs (at least
--repeats runs and --least seconds of them, at most --most seconds), and
reports the best run, the memory its runs added at peak, and its result as
{exponents: coefficient}.  Every system must give the same polynomial; a
disagreement or a failed run makes the benchmark fail.  A pair still running
after --timeout seconds (input building included) is stopped and shown so.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import subprocess
import sys
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path

from workloads import SUM_SIZES, TREE_SIZES, WORKLOADS, Algebra, Polynomial, Scaling

BENCH = Path(__file__).resolve().parent
DRIVER_SOURCE = BENCH / "ginac_driver.cpp"
DRIVER = BENCH / "out" / "ginac_driver"
GINAC_HEADER = Path("/usr/include/ginac/ginac.h")
PIP_PEERS = {"SymPy": ("sympy", "sympy"), "SymEngine": ("symengine", "symengine"),
             "flint": ("flint", "python-flint")}  # system: (module, package)
PEERS = ("SymPy", "SymEngine", "flint", "GiNaC", "KalVora textbook", "KalVora textbook latex",
         "KalVora textbook terms")
LARGEST_SIZES = (TREE_SIZES[-1], SUM_SIZES[-1])

# GiNaC reads its input as text; the parentheses keep the recipe's nesting.
TEXT = Algebra(var=str, num=str, add=lambda a, b: f"({a}+{b})", mul=lambda a, b: f"({a}*{b})",
               pow=lambda a, k: f"({a})^{k}")


@dataclass
class Outcome:
    times: list[float] = field(default_factory=list)
    peak_kib: int = 0
    terms: dict | None = None
    failure: str | None = None  # short, for the tables: "> 300 s", "failed", "wrong"
    fault: str | None = None  # what went wrong, when it is the system's fault

    @property
    def best(self) -> float:
        return min(self.times)


# --- setting up the peers ---------------------------------------------------

def run_visibly(command: list[str]) -> bool:
    print("+", " ".join(command), flush=True)
    return subprocess.run(command, stdout=sys.stderr).returncode == 0


def ready_systems(wanted: list[str]) -> list[str]:
    """KalVora and the wanted peers that are, or could be made, available; installs and builds what is missing."""
    if importlib.util.find_spec("_kalvora_core") is None:
        sys.exit("KalVora is not installed: run `pip install .` in the repository first")
    missing = [package for name, (module, package) in PIP_PEERS.items()
               if name in wanted and importlib.util.find_spec(module) is None]
    if missing:
        print("installing peers:", ", ".join(missing))
        run_visibly([sys.executable, "-m", "pip", "install", "-q", *missing])
        importlib.invalidate_caches()
    ready = [s for s in wanted if s not in PIP_PEERS or importlib.util.find_spec(PIP_PEERS[s][0])]
    if "GiNaC" in wanted and not ginac_driver_ready():
        ready.remove("GiNaC")
    for lost in sorted(set(wanted) - set(ready)):
        print(f"!!! {lost} is unavailable and is left out")
    return ["KalVora", *ready]


def ginac_driver_ready() -> bool:
    if not GINAC_HEADER.exists():
        print("installing peer: libginac-dev (apt-get)")
        run_visibly(["apt-get", "update", "-q"])
        run_visibly(["apt-get", "install", "-y", "-q", "libginac-dev"])
    if DRIVER.exists() and DRIVER.stat().st_mtime >= DRIVER_SOURCE.stat().st_mtime:
        return True
    DRIVER.parent.mkdir(exist_ok=True)
    return run_visibly(["g++", "-O2", "-std=c++17", "-o", str(DRIVER), str(DRIVER_SOURCE), "-lginac", "-lcln"])


def versions(systems: list[str]) -> dict[str, str]:
    def git(*args: str) -> str:
        return subprocess.run(["git", "-C", str(BENCH.parent), *args], capture_output=True, text=True).stdout.strip()

    found = {"KalVora": f"src at commit {git('log', '-1', '--format=%h', '--', 'src') or 'none'}"
                        + (" with uncommitted changes" if git("status", "--porcelain", "--", "src") else "")}
    for name, (_, package) in PIP_PEERS.items():
        if name in systems:
            found[name] = f"{package} {metadata.version(package)}"
    if "GiNaC" in systems:
        dpkg = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "libginac-dev"], capture_output=True, text=True)
        found["GiNaC"] = f"libginac-dev {dpkg.stdout or '?'}"
    return found


# --- measuring ---------------------------------------------------------------

def invocation(system: str, workload, args) -> tuple[list[str], str | None]:
    """The command that measures `workload` on `system`, and the text it reads from stdin."""
    runs = [str(args.repeats), str(args.least), str(args.most)]
    if system == "GiNaC":
        return [str(DRIVER), *runs, *workload.variables], workload.recipe(TEXT)
    return [sys.executable, str(BENCH / "worker.py"), system, workload.name, *runs], None


def measure(system: str, workload, args) -> Outcome:
    command, stdin = invocation(system, workload, args)
    try:
        done = subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=args.timeout)
    except subprocess.TimeoutExpired:
        return Outcome(failure=f"> {args.timeout:g} s")
    if done.returncode != 0:
        cause = f"signal {-done.returncode}" if done.returncode < 0 else f"exit {done.returncode}"
        last = (done.stderr.strip().splitlines() or [""])[-1]
        return Outcome(failure="failed", fault=f"failed ({cause}): {last}")
    report = json.loads(done.stdout.splitlines()[-1])
    outcome = Outcome(report["times"], report["peak_kib"])
    if report["terms"] is not None:
        outcome.terms = {tuple(row[:-1]): row[-1] for row in report["terms"]}
        if len(outcome.terms) != len(report["terms"]):
            outcome.failure, outcome.fault = "wrong", "a monomial appears twice in the result"
    return outcome


# --- checking ------------------------------------------------------------------

def modulo_2_32(terms: dict) -> dict:
    """Exact coefficients reduced to 32-bit two's complement, as KalVora's wrap; terms that vanish drop out."""
    wrapped = {m: (c + 2**31) % 2**32 - 2**31 for m, c in terms.items()}
    return {m: c for m, c in wrapped.items() if c != 0}


def problems(workload, outcomes: dict[str, Outcome]) -> list[str]:
    """Every way in which the results of one workload are wrong or disagree."""
    found = [f"{workload.name} {name}: {o.fault}" for name, o in outcomes.items() if o.fault]
    results = {name: o.terms for name, o in outcomes.items() if o.terms is not None}
    if (reference := workload.reference()) is not None:
        results = {"expected": reference, **results}
    if "flint" in results:
        results = {"flint": results["flint"], **results}
        if getattr(workload, "wraps", False):
            results["flint"] = modulo_2_32(results["flint"])
        elif wide := [c for c in results["flint"].values() if not -2**31 <= c < 2**31]:
            found.append(f"{workload.name}: {len(wide)} coefficients do not fit in 32 bits, e.g. {wide[0]}")
    if not results:
        return found
    base_name, base = next(iter(results.items()))
    for name, terms in results.items():
        if terms != base:
            differing = sorted(m for m in base.keys() | terms.keys() if base.get(m) != terms.get(m))
            examples = "; ".join(f"{m}: {base_name} {base.get(m)}, {name} {terms.get(m)}" for m in differing[:3])
            found.append(f"{workload.name}: {name} gives {len(terms)} terms, {base_name} {len(base)}; "
                         f"{len(differing)} monomials differ ({examples})")
    return found


# --- reporting -----------------------------------------------------------------

def seconds(outcome: Outcome) -> str:
    return outcome.failure or f"{outcome.best:.3g}"


def mebibytes(outcome: Outcome) -> str:
    return "" if outcome.failure else f"{outcome.peak_kib / 1024:.1f}"


def ratio(peer: Outcome, ours: Outcome) -> str:
    return "" if peer.failure or ours.failure else f"{peer.best / ours.best:.2f}"


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = [header, ["---"] * len(header), *rows]
    return "\n".join("| " + " | ".join(line) + " |" for line in lines)


def polynomial_tables(measured: dict, systems: list[str]) -> str:
    peers = [s for s in systems if s != "KalVora"]
    times, ratios, memory = [], [], []
    for workload, outcomes in measured.items():
        terms = next((str(len(o.terms)) for o in outcomes.values() if o.terms is not None), "")
        label = [workload.name, workload.title, terms]
        times.append(label + [seconds(outcomes[s]) for s in systems])
        ratios.append(label[:2] + [ratio(outcomes[p], outcomes["KalVora"]) for p in peers])
        memory.append(label[:2] + [mebibytes(outcomes[s]) for s in systems])
    return "\n\n".join([
        "Best time, seconds:\n\n" + table(["workload", "", "terms", *systems], times),
        "Peer time / KalVora time (above 1: KalVora is faster):\n\n" + table(["workload", "", *peers], ratios),
        "Memory added at peak, MiB:\n\n" + table(["workload", "", *systems], memory),
        *([textbook_table(measured)] if {TEXTBOOK, "flint"} <= set(systems) else []),
    ])


TEXTBOOK = "KalVora textbook"


def textbook_table(measured: dict) -> str:
    """The textbook expand, its latex and its terms read in full, against flint's own arithmetic
    (the goal is at most 3× for expand and for latex) and SymPy: the README's table."""
    absent = Outcome(failure="-")
    rows = []
    for workload, outcomes in measured.items():
        flint, book = outcomes["flint"], outcomes[TEXTBOOK]
        latex, terms = outcomes.get(TEXTBOOK + " latex", absent), outcomes.get(TEXTBOOK + " terms", absent)
        sympy = outcomes.get("SymPy", absent)
        count = next((str(len(o.terms)) for o in outcomes.values() if o.terms is not None), "")
        rows.append([workload.name, workload.title, count, seconds(flint), seconds(book), seconds(latex),
                     seconds(terms), seconds(sympy), ratio(book, flint), ratio(latex, flint), ratio(terms, flint),
                     ratio(sympy, book)])
    return ("Textbook expand (a Formula in, a Formula out) against flint's fmpz_mpoly, seconds and ratios:\n\n"
            + table(["workload", "", "terms", "flint", "textbook expand", "its latex", "expand + all terms",
                     "SymPy", "textbook / flint", "latex / flint", "all terms / flint", "SymPy / textbook"], rows))


def scaling_table(measured: dict) -> str:
    rows: list[list[str]] = []
    previous: dict[str, Outcome] = {}
    for workload, outcomes in measured.items():
        o, operation = outcomes["KalVora"], workload.operation
        per_unit = "" if o.failure else f"{o.best / workload.size * 1e9:.0f}"
        growth = ratio(o, previous[operation]) if operation in previous else ""
        rows.append([operation, f"{workload.size:,}", seconds(o), per_unit, growth, mebibytes(o)])
        previous[operation] = o
    return ("KalVora alone (trees: size in nodes; expand: size in terms of the sum; divisions: their number):\n\n"
            + table(["operation", "size", "seconds", "ns per node or term", "time / time at the size before",
                     "memory added at peak, MiB"], rows))


def machine() -> str:
    with open("/proc/cpuinfo") as cpuinfo:
        model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "?")
    return f"{model}, {len(os.sched_getaffinity(0))} cores, Python {platform.python_version()}"


# --- main ------------------------------------------------------------------------

def runs(workload: Polynomial | Scaling, system: str) -> bool:
    """Whether the system takes part in the workload (a table shows "-" where not)."""
    peers = getattr(workload, "peers", None)
    return system == "KalVora" or peers is None or system in peers


def selected_workloads(args) -> list:
    chosen = [w for name, w in WORKLOADS.items() if any(name.startswith(p) for p in args.only.split(","))]
    return [w for w in chosen if not (args.quick and isinstance(w, Scaling) and w.size in LARGEST_SIZES)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="W", help="comma-separated workload name prefixes, e.g. W2,W7.expand")
    parser.add_argument("--peers", default=",".join(PEERS), help="comma-separated, from " + ", ".join(PEERS))
    parser.add_argument("--quick", action="store_true", help="leave out W7's largest size")
    parser.add_argument("--repeats", type=int, default=5, help="least number of timed runs")
    parser.add_argument("--least", type=float, default=0.5, help="least seconds of timed runs")
    parser.add_argument("--most", type=float, default=20.0, help="seconds of timed runs after which to stop")
    parser.add_argument("--timeout", type=float, default=300.0, help="seconds after which one measurement is stopped")
    args = parser.parse_args()

    systems = ready_systems([p for p in PEERS if p in args.peers.split(",")])
    polynomial: dict[Polynomial, dict[str, Outcome]] = {}
    scaling: dict[Scaling, dict[str, Outcome]] = {}
    for workload in selected_workloads(args):
        outcomes = {}
        for system in systems if isinstance(workload, Polynomial) else ["KalVora"]:
            if not runs(workload, system):
                outcomes[system] = Outcome(failure="-")
                continue
            outcomes[system] = outcome = measure(system, workload, args)
            print(f"{workload.name:<16} {system:<10} {seconds(outcome)}", file=sys.stderr, flush=True)
        if isinstance(workload, Polynomial):
            polynomial[workload] = outcomes
        else:
            scaling[workload] = outcomes

    print(f"\nMachine: {machine()}")
    for name, version in versions(systems).items():
        print(f"- {name}: {version}")
    if polynomial:
        print("\n" + polynomial_tables(polynomial, systems))
    if scaling:
        print("\n" + scaling_table(scaling))
    measured = [*polynomial.items(), *scaling.items()]
    found = [p for workload, outcomes in measured for p in problems(workload, outcomes)]
    for problem in found:
        print("!!!", problem)
    print("\nall results agree" if not found else f"\n!!! {len(found)} problems")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
