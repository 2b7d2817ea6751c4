#!/usr/bin/env python3
"""End-to-end comparison from source text to output text: morvalen against
SymEngine and SymPy on the same programs, for simplification and
differentiation.

    python bench/text_bench.py              # 10^3, 10^4 and 10^5 operators
    python bench/text_bench.py --quick      # up to 10^4
    python bench/text_bench.py --memory     # also peak memory per call, each in a fresh process
    python bench/text_bench.py --only 10^5  # only the rows whose label contains the text

What each tool does, timed as one unit:
- morvalen: `simplify_expr(text)` or `diff(text, "x")`.
- SymEngine and SymPy: parse the text into an expression, then `str(expr)` for
  simplification or `str(expr.diff(x))` for differentiation. For a sum the
  peer gets the faster of parsing the whole text and parsing it term by term
  (term by term only at 10^5, where parsing it whole takes minutes); a program
  of assignment lines is read line by line into a namespace. A peer whose call
  dies (its printer overflows the native stack on a deep expression) is tried
  in a fresh process first and shown as "crash".

Rows are run interleaved (one call of each tool in turn, repeated; calls under a
millisecond in batches of calls in a row), in this process pinned to one core;
each figure is a median. "peer / morvalen" above 1
means morvalen is faster. SymPy is measured up to 10^3 operators only (beyond, a
call takes from seconds to minutes). SymPy and SymEngine are installed with
pip when missing (benchmark-only dependencies).
"""

from __future__ import annotations

import argparse
import importlib
import os
import random
import statistics
import subprocess
import sys
import time

import morvalen

ONE_LINERS = {
    "affine": "x * 2.0 + 1.0",
    "poly": "(x + y) ** 3.0 - 2.5 * x * y + 1.5",
    "smooth": "sigmoid(x) * tanh(x * 0.5) + log(1.5 + x * x)",
}
HEADER = "|x: f64, y: f64| "


def constant(rng: random.Random) -> str:
    return repr(round(rng.uniform(0.1, 4.0), 3))


def random_tree(operators: int, seed: int = 1) -> str:
    """A random expression tree over x and y with `operators` operators."""
    rng = random.Random(seed)

    def build(n: int) -> str:
        if n == 0:
            return rng.choice(["x", "y", constant(rng)])
        if rng.random() < 0.15:
            return f"{rng.choice(['sin', 'cos', 'exp'])}({build(n - 1)})"
        left = rng.randint(0, n - 1)
        op = rng.choice(["+", "-", "*"])
        return f"({build(left)} {op} {build(n - 1 - left)})"

    sys.setrecursionlimit(max(10_000, 4 * operators))
    return build(operators)


def sum_of_terms(operators: int) -> list[str]:
    """Distinct summands (no tool can merge equal terms), 3 operators each."""
    terms = []
    count = 0
    i = 0
    while count < operators:
        c = repr(1.0 + i / 1048576.0)
        d = repr(0.5 + i / 2097152.0)
        terms.append([f"sin(x * {c} + y)", f"exp(y * {d}) * x", f"(x - {c}) ** 2.0 * y"][i % 3])
        count += 4
        i += 1
    return terms


def assignment_dag(operators: int) -> list[tuple[str, str]]:
    """Lines `v_i = ...`, each reading the line before once and a parameter.

    A line that read two earlier lines would double the text of every result
    (each tool prints its result as one expression), so each line reads one.
    """
    rng = random.Random(3)
    lines = [("v0", "x * y + 1.5")]
    count = 2
    i = 1
    while count < operators:
        a = f"v{i - 1}"
        # (text, operators in it, a call counting as one)
        rhs, ops = rng.choice(
            [
                (f"{a} * {constant(rng)} + sin(y * {constant(rng)})", 4),
                (f"({a} + x) * {constant(rng)}", 2),
                (f"{a} - y * {constant(rng)}", 2),
            ]
        )
        lines.append((f"v{i}", rhs))
        count += ops
        i += 1
    return lines


def ensure(module: str):
    try:
        return importlib.import_module(module)
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", module], check=False)
        importlib.invalidate_caches()
        try:
            return importlib.import_module(module)
        except ImportError:
            return None


class Peer:
    def __init__(self, lib):
        self.lib = lib
        self.x = lib.Symbol("x")
        names = {"x": self.x, "y": lib.Symbol("y")}
        for fn in ("sin", "cos", "exp", "log", "tanh"):
            names[fn] = getattr(lib, fn)
        names["sigmoid"] = lambda v: 1 / (1 + lib.exp(-v))
        self.names = names

    def parse(self, text: str):
        return eval(text, {"__builtins__": {}}, dict(self.names)) if "sigmoid" in text else self.lib.sympify(text)

    def parse_lines(self, lines):
        env = dict(self.names)
        for name, rhs in lines:
            env[name] = eval(rhs, {"__builtins__": {}}, env)
        return env[lines[-1][0]]


def cases(sizes):
    for name, text in ONE_LINERS.items():
        yield f"one-liner {name}", HEADER + text, ("text", text)
    for n in sizes:
        yield f"random tree 10^{len(str(n)) - 1}", HEADER + random_tree(n), ("text", random_tree(n))
    for n in sizes:
        terms = sum_of_terms(n)
        yield f"sum of terms 10^{len(str(n)) - 1}", HEADER + " + ".join(terms), ("sum", terms)
    for n in sizes:
        lines = assignment_dag(n)
        src = HEADER + "\n" + "\n".join(f"{a} = {b}" for a, b in lines[:-1]) + "\n" + lines[-1][1]
        yield f"assignment DAG 10^{len(str(n)) - 1}", src, ("lines", lines)


def peer_call(peer: Peer, form, operation: str, mode: str):
    kind, data = form
    if kind == "text":
        expr = peer.parse(data)
    elif kind == "sum":
        expr = peer.parse(" + ".join(data)) if mode == "whole" else peer.lib.Add(*[peer.parse(t) for t in data])
    else:
        expr = peer.parse_lines(data)
    return str(expr) if operation == "simplify" else str(expr.diff(peer.x))


def morvalen_call(src: str, operation: str):
    return morvalen.simplify_expr(src) if operation == "simplify" else morvalen.diff(src, "x")


def interleaved(calls: dict, budget: float) -> dict:
    """Median seconds per call of each tool, the tools taking turns.

    A call shorter than a millisecond is timed as a batch of calls in a row
    (as a loop over many small programs would make them), so that each tool
    runs with its own code and data in cache rather than after the other
    tools have evicted them; the batches still alternate.
    """
    batch = {}
    for key, fn in calls.items():
        fn()  # the first call of a process pays one-time setup; size the batch from the second
        t0 = time.perf_counter()
        fn()
        batch[key] = max(1, min(1000, int(1e-3 / max(time.perf_counter() - t0, 1e-7))))
    samples = {k: [] for k in calls}
    start = time.perf_counter()
    rounds = -1  # the first round warms up and is not kept
    while rounds < 3 or (time.perf_counter() - start < budget and rounds < 200):
        for key, fn in calls.items():
            n = batch[key]
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            if rounds >= 0:
                samples[key].append((time.perf_counter() - t0) / n)
        rounds += 1
    return {k: statistics.median(v) for k, v in samples.items()}


MEMORY_SNIPPET = """
import resource, sys, pickle
sys.path.insert(0, {bench!r})
import text_bench as tb
label, src, form, operation, tool = pickle.loads(sys.stdin.buffer.read())
if tool == "morvalen":
    call = lambda: tb.morvalen_call(src, operation)
else:
    peer = tb.Peer(__import__(tool))
    # Term by term for a sum: parsing 10^5 operators whole takes minutes.
    call = lambda: tb.peer_call(peer, form, operation, "terms" if form[0] == "sum" else "whole")
def peak_kib():
    # The high-water mark of this process's own memory. ru_maxrss is not used
    # on Linux: a child started from a large benchmark process inherits the
    # parent's figure there, which would hide what the call adds.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
before = peak_kib()
call()
after = peak_kib()
print((after - before) / 1024)
"""


def peak_memory(label, src, form, operation, tool) -> float | None:
    """MiB added by one call in a fresh process; None when that process dies."""
    import pickle

    # The program goes through standard input: 10^5 operators exceed the
    # length of a command line.
    payload = pickle.dumps((label, src, form, operation, tool))
    code = MEMORY_SNIPPET.format(bench=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code], input=payload, capture_output=True)
    return float(out.stdout.decode().strip()) if out.returncode == 0 else None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="stop at 10^4 operators")
    parser.add_argument("--memory", action="store_true", help="peak memory per call in fresh processes")
    parser.add_argument("--cpu", type=int, default=0, help="the core to pin to")
    parser.add_argument("--only", default="", help="only the programs whose label contains this text")
    args = parser.parse_args()
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {args.cpu})
    sizes = [1_000, 10_000] if args.quick else [1_000, 10_000, 100_000]
    peers = {name: Peer(lib) for name in ("symengine", "sympy") if (lib := ensure(name)) is not None}

    print(f"morvalen {morvalen.__version__}; " + ", ".join(f"{n} {p.lib.__version__}" for n, p in peers.items()))
    print()
    print("| program | operation | morvalen µs | SymEngine µs | SymPy µs | SymEngine / morvalen | SymPy / morvalen |")
    print("|---|---|---:|---:|---:|---:|---:|")
    rows = []
    for label, src, form in cases(sizes):
        if args.only not in label:
            continue
        big = "10^5" in label
        for operation in ("simplify", "diff"):
            calls = {"morvalen": lambda s=src, o=operation: morvalen_call(s, o)}
            crashed = set()
            for name, peer in peers.items():
                if name == "sympy" and "10^3" not in label and "one-liner" not in label:
                    continue  # from seconds to minutes per call
                # A peer's printer can overflow the native stack on deep
                # expressions; try each large call in a fresh process first.
                if big and peak_memory(label, src, form, operation, name) is None:
                    crashed.add(name)
                    continue
                if form[0] != "sum":
                    modes = ["whole"]
                elif big:
                    modes = ["terms"]  # parsing 10^5 operators whole takes the peers minutes
                else:
                    modes = ["whole", "terms"]
                for mode in modes:
                    calls[(name, mode)] = lambda p=peer, f=form, o=operation, m=mode: peer_call(p, f, o, m)
            medians = interleaved(calls, budget=0.0 if big else 0.5)
            ours = medians["morvalen"]
            best = {name: min(v for k, v in medians.items() if isinstance(k, tuple) and k[0] == name)
                    for name in peers if any(isinstance(k, tuple) and k[0] == name for k in medians)}
            se = best.get("symengine")
            sp = best.get("sympy")
            se = "crash" if "symengine" in crashed else se
            fmt = lambda v: v if isinstance(v, str) else f"{v * 1e6:,.1f}" if v is not None else "—"
            ratio = lambda v: "—" if v is None or isinstance(v, str) else f"{v / ours:.2f}"
            print(f"| {label} | {operation} | {fmt(ours)} | {fmt(se)} | {fmt(sp)} | {ratio(se)} | {ratio(sp)} |",
                  flush=True)
            rows.append((label, src, form, operation))
    print()
    fixed = interleaved({"call": lambda: morvalen.simplify_expr("|x: f64| x")}, budget=1.0)["call"]
    opt = interleaved({"call": lambda: morvalen.simplify_expr("|x: f64| x * 2.0 + 1.0", optimize=True)},
                      budget=1.0)["call"]
    print(f"fixed cost `simplify_expr('|x: f64| x')`: {fixed * 1e6:.2f} µs; "
          f"`simplify_expr('|x: f64| x * 2.0 + 1.0', optimize=True)`: {opt * 1e6:.1f} µs")
    if args.memory:
        print()
        print("| program | operation | morvalen MiB | SymEngine MiB |")
        print("|---|---|---:|---:|")
        for label, src, form, operation in rows:
            if "10^5" not in label:
                continue
            ours = peak_memory(label, src, form, operation, "morvalen")
            se = peak_memory(label, src, form, operation, "symengine") if "symengine" in peers else None
            peer_text = "—" if "symengine" not in peers else "crash" if se is None else f"{se:.1f}"
            print(f"| {label} | {operation} | {ours:.1f} | {peer_text} |", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
