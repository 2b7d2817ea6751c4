#!/usr/bin/env python3
"""Times the numpy back end of the installed `morvalen` package on 10^6 points
against the same computation written by hand in numpy and against SymPy's
`lambdify(..., "numpy")`, all in one run; then the time of `compile` itself,
the first time and from its cache.

Usage (from the repository, with the package and its numpy extra installed):

    python bench/numpy_bench.py
    python bench/numpy_bench.py --points 100000 --repeat 9
    python bench/numpy_bench.py --no-install     # skip SymPy if it is missing

SymPy is a benchmark-only dependency: when it is missing, the script installs
it into the running interpreter with pip (unless --no-install is given).

Each kernel figure is the median over `--repeat` calls of one call on float64
arrays of `--points` elements, in milliseconds, the contenders' calls
interleaved; "ratio" divides it by the hand-written numpy median of the same
run. Every contender's result is checked against the hand-written one before
timing.
"""

from __future__ import annotations

import argparse
import importlib
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

import morvalen


def hand_gauss(x):
    return np.exp(-(x * x) / 2.0) * np.cos(3.0 * x)


def hand_mixed(x, y):
    return np.sqrt(x * x + y * y) + np.log(1.0 + x * x) * np.tanh(y)


def hand_gradient(x, y):
    # As a person writes it: x * y, its sine and its cosine once each.
    s = x * y
    c = np.cos(s)
    return np.sin(s) + x * x, c * y + 2.0 * x, c * x


WORKLOADS = [
    # name, source, wrt, hand-written, SymPy text, parameters
    ("gauss", "|x: f64| exp(-(x * x) / 2.0) * cos(3.0 * x)", None, hand_gauss, "exp(-(x*x)/2) * cos(3*x)", "x"),
    (
        "sqrt-log-tanh",
        "|x: f64, y: f64| sqrt(x * x + y * y) + log(1.0 + x * x) * tanh(y)",
        None,
        hand_mixed,
        "sqrt(x*x + y*y) + log(1 + x*x) * tanh(y)",
        "x y",
    ),
    ("value+grad", "|x: f64, y: f64| sin(x * y) + x * x", ["x", "y"], hand_gradient, "sin(x*y) + x*x", "x y"),
]


def medians_ms(fns, args, repeat: int) -> list[float]:
    """The median time of one call of each function, in ms. The calls are
    interleaved (one of each per round), so that a change of machine load
    during the run weighs on every contender alike."""
    times = [[] for _ in fns]
    for fn in fns:
        fn(*args)  # warm up (first-call allocations, page faults)
    for _ in range(repeat):
        for fn, samples in zip(fns, times):
            start = time.perf_counter()
            fn(*args)
            samples.append(time.perf_counter() - start)
    return [statistics.median(samples) * 1e3 for samples in times]


def same(a, b) -> bool:
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(p, q) for p, q in zip(a, b))
    return np.allclose(a, b, rtol=1e-12, atol=1e-12)


def load_sympy(install: bool):
    try:
        return importlib.import_module("sympy")
    except ImportError:
        if not install:
            return None
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "sympy"], check=True)
        importlib.invalidate_caches()
        return importlib.import_module("sympy")


def sympy_kernels(sp, text: str, names: str, wrt):
    symbols = sp.symbols(names)
    symbols = symbols if isinstance(symbols, tuple) else (symbols,)
    expr = sp.sympify(text, locals={s.name: s for s in symbols})
    exprs = expr if wrt is None else [expr, *(sp.diff(expr, sp.Symbol(v)) for v in wrt)]
    plain = sp.lambdify(symbols, exprs, "numpy")
    shared = sp.lambdify(symbols, exprs, "numpy", cse=True)
    return plain, shared


def bench_kernels(points: int, repeat: int, sp) -> None:
    rng = np.random.default_rng(1)
    arrays = {"x": rng.uniform(-3.0, 3.0, points), "y": rng.uniform(-3.0, 3.0, points)}
    print(f"kernels on {points:,} float64 points, median of {repeat} calls (ms); ratio to hand-written numpy")
    header = f"{'workload':<14} {'hand numpy':>10} {'morvalen':>16} {'optimize=True':>16}"
    if sp is not None:
        header += f" {'SymPy lambdify':>16} {'lambdify cse':>16}"
    print(header)
    for name, source, wrt, hand, sympy_text, names in WORKLOADS:
        args = [arrays[n] for n in names.split()]
        expected = hand(*args)
        contenders = [
            morvalen.compile(source, backend="numpy", wrt=wrt),
            morvalen.compile(source, backend="numpy", wrt=wrt, optimize=True),
        ]
        if sp is not None:
            contenders += list(sympy_kernels(sp, sympy_text, names, wrt))
        for fn in contenders:
            if not same(fn(*args), expected):
                raise SystemExit(f"{name}: a contender disagrees with the hand-written numpy")
        base, *others = medians_ms([hand, *contenders], args, repeat)
        row = f"{name:<14} {base:>10.2f}"
        for t in others:
            row += f" {t:>7.2f} ({t / base:4.2f}x)"
        print(row)


def bench_compile() -> None:
    print("\ncompile of a one-line program (us): first time (a new source each call), from the cache")
    for backend in ("python", "numpy"):
        count = 300
        sources = [f"|x: f64, y: f64| x * {i}.5 + sin(y)" for i in range(count)]
        firsts = []
        for source in sources:
            start = time.perf_counter()
            morvalen.compile(source, backend=backend)
            firsts.append(time.perf_counter() - start)
        cached = []
        source = sources[0]
        for _ in range(7):
            loops = 20000
            start = time.perf_counter()
            for _ in range(loops):
                morvalen.compile(source, backend=backend)
            cached.append((time.perf_counter() - start) / loops)
        print(
            f"{backend:<8} first {statistics.median(firsts) * 1e6:8.1f}   "
            f"cached {statistics.median(cached) * 1e6:6.2f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--no-install", action="store_true", help="do not pip-install SymPy when missing")
    args = parser.parse_args()
    sp = load_sympy(not args.no_install)
    print(
        f"Python {platform.python_version()}, numpy {np.__version__}, morvalen {morvalen.__version__}"
        + (f", SymPy {sp.__version__}" if sp is not None else ", SymPy not installed")
    )
    bench_kernels(args.points, args.repeat, sp)
    bench_compile()


if __name__ == "__main__":
    main()
