#!/usr/bin/env python3
"""Times the three operations of the installed `morvalen` package per call,
with the optimizer off and on, on one-line programs and on programs of 1,000,
10,000 and 100,000 operators, and SymPy's (and, when available, SymEngine's)
differentiation of the same expressions for comparison.

Usage (from the repository, with the package installed in the interpreter):

    python bench/pipeline_bench.py            # all sizes
    python bench/pipeline_bench.py --quick    # up to 10,000 operators
    python bench/pipeline_bench.py --no-install   # do not pip-install SymPy

SymPy and SymEngine are benchmark-only dependencies: when they are missing,
the script installs them into the running interpreter with pip (unless
--no-install is given, in which case the comparison is skipped).

Each figure is the median over repetitions (at least 3, and as many as fit in
about 0.3 s) of the time of one call, in microseconds. "per 10x" is the ratio
of a size's median to that of the size ten times smaller: 10 means linear.
"""

from __future__ import annotations

import argparse
import importlib
import platform
import statistics
import subprocess
import sys
import time

import morvalen

ONE_LINERS = {
    "affine": "|x: f32| x * 2 + 1",
    "poly": "|x: f64, y: f64| (x + y) ** 3 - 2.5 * x * y + 1.5",
    "smooth": "|x: f64| sigmoid(x) * tanh(x * 0.5) + log(1.5 + x * x)",
}

SIZES = [1_000, 10_000, 100_000]


def coefficient_c(i: int) -> float:
    # Distinct per term (exact binary fractions), so that no peer can merge
    # equal terms and shrink the expression.
    return 1.0 + i / 1048576.0


def coefficient_d(i: int) -> float:
    return 0.5 + i / 2097152.0


def term(i: int) -> tuple[str, int]:
    """One summand over x and y, with distinct constants; returns its text and
    its operator count (binary operators and calls)."""
    c = repr(coefficient_c(i))
    d = repr(coefficient_d(i))
    kind = i % 3
    if kind == 0:
        return f"sin(x * {c} + y)", 3
    if kind == 1:
        return f"exp(y * {d}) * x", 3
    return f"(x - {c}) ** 2 * y", 3


def sized_program(operators: int) -> tuple[str, list[tuple[int, str, str]], int]:
    """A program whose result is a sum of terms with about `operators`
    operators; also returns the terms (for SymPy) and the exact count."""
    parts = []
    terms = []
    count = 0
    i = 0
    while count < operators:
        text, ops = term(i)
        parts.append(text)
        terms.append(i)
        count += ops + (1 if i > 0 else 0)  # the joining `+`
        i += 1
    return "|x: f64, y: f64| " + " + ".join(parts), terms, count


def time_call(fn, budget: float = 0.3, min_reps: int = 3, max_reps: int = 200, setup=None) -> float:
    """Median seconds per call; `setup` runs untimed before each call."""
    samples = []
    start = time.perf_counter()
    while len(samples) < min_reps or (time.perf_counter() - start < budget and len(samples) < max_reps):
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def ensure(module: str, package: str, install: bool):
    try:
        return importlib.import_module(module)
    except ImportError:
        if not install:
            return None
    print(f"# installing {package} (benchmark-only dependency)", file=sys.stderr)
    result = subprocess.run([sys.executable, "-m", "pip", "install", "-q", package], check=False)
    if result.returncode != 0:
        return None
    importlib.invalidate_caches()
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def sympy_terms(sympy, terms):
    x, y = sympy.symbols("x y")
    out = []
    for i in terms:
        c = sympy.Float(coefficient_c(i))
        d = sympy.Float(coefficient_d(i))
        kind = i % 3
        if kind == 0:
            out.append(sympy.sin(x * c + y))
        elif kind == 1:
            out.append(sympy.exp(y * d) * x)
        else:
            out.append((x - c) ** 2 * y)
    return sympy.Add(*out), x


def symengine_terms(symengine, terms):
    x, y = symengine.symbols("x y")
    out = []
    for i in terms:
        c = coefficient_c(i)
        d = coefficient_d(i)
        kind = i % 3
        if kind == 0:
            out.append(symengine.sin(x * c + y))
        elif kind == 1:
            out.append(symengine.exp(y * d) * x)
        else:
            out.append((x - c) ** 2 * y)
    return symengine.Add(*out), x


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="stop at 10,000 operators")
    parser.add_argument("--no-install", action="store_true", help="do not pip-install SymPy/SymEngine")
    args = parser.parse_args()
    sizes = [s for s in SIZES if not args.quick or s <= 10_000]

    print(f"morvalen {morvalen.__version__}, Python {platform.python_version()}, {platform.machine()}")
    print()
    print("| program | operators | operation | optimize | us/call | per 10x |")
    print("|---|---:|---|---|---:|---:|")

    operations = {
        "simplify_expr": lambda src, opt: morvalen.simplify_expr(src, optimize=opt),
        "emit_python": lambda src, opt: morvalen.emit_python(src, optimize=opt),
        "diff": lambda src, opt: morvalen.diff(src, "x", optimize=opt),
    }
    for name, source in ONE_LINERS.items():
        for op_name, op in operations.items():
            for optimize in (False, True):
                seconds = time_call(lambda: op(source, optimize))
                print(f"| {name} | one line | {op_name} | {'on' if optimize else 'off'} | {seconds * 1e6:,.1f} | |")

    programs = {size: sized_program(size) for size in sizes}
    previous: dict[tuple[str, bool], float] = {}
    for size in sizes:
        source, _, count = programs[size]
        for op_name, op in operations.items():
            for optimize in (False, True):
                budget = 0.3 if size < 100_000 else 0.0
                seconds = time_call(lambda: op(source, optimize), budget=budget)
                key = (op_name, optimize)
                ratio = f"{seconds / previous[key]:.1f}" if key in previous else ""
                previous[key] = seconds
                print(f"| sum of terms | {count:,} | {op_name} | {'on' if optimize else 'off'} "
                      f"| {seconds * 1e6:,.0f} | {ratio} |")

    peers = [("sympy", "sympy", sympy_terms), ("symengine", "symengine", symengine_terms)]
    for module, package, build in peers:
        lib = ensure(module, package, not args.no_install)
        if lib is None:
            print(f"\n{module}: not available, comparison skipped")
            continue
        print()
        print(f"{module} {lib.__version__}: differentiation of the same sums (expression built beforehand)")
        print()
        print("| operators | peer diff us/call | per 10x | morvalen diff us/call | peer / morvalen |")
        print("|---:|---:|---:|---:|---:|")
        last = None
        for size in sizes:
            source, terms, count = programs[size]
            expr, x = build(lib, terms)
            budget = 0.3 if size < 100_000 else 0.0
            # SymPy memoises derivatives: empty its cache before every call.
            clear = getattr(getattr(getattr(lib, "core", None), "cache", None), "clear_cache", None)
            peer = time_call(lambda: lib.diff(expr, x), budget=budget, setup=clear)
            ours = time_call(lambda: morvalen.diff(source, "x"), budget=budget)
            ratio = f"{peer / last:.1f}" if last else ""
            last = peer
            print(f"| {count:,} | {peer * 1e6:,.0f} | {ratio} | {ours * 1e6:,.0f} | {peer / ours:.1f} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
