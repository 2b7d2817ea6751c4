"""Random well-typed programs for the property tests, with an independent
Python rendering of each expression as the oracle.

Every generated program has parameters of dtype f64 only. Literals appear only
next to an expression that reads a parameter, so no subexpression is constant:
constant folding then has nothing to fold and evaluation order is the
source's, which makes exact comparisons meaningful.
"""

from __future__ import annotations

import math
import random
import re
from dataclasses import dataclass, field

FLOAT_LITERALS = ["0.5", "1.5", "2.25", "3.0", "0.125", "0.1", "1.75", "2.0", "-1.5", "-0.25"]
INT_LITERALS = ["2", "3", "1", "-2"]
EXPONENTS = ["2", "3"]
COMPARISONS = ["<", "<=", ">", ">=", "==", "!="]


@dataclass
class Program:
    """A program's source text and the same computation as Python code."""

    params: list[str]
    source: str
    # Python statements (the assignments) and the result expression.
    py_lines: list[str] = field(default_factory=list)
    py_result: str = ""

    @property
    def header(self) -> str:
        return "|" + ", ".join(f"{p}: f64" for p in self.params) + "|"

    def reference(self):
        """A Python function computing the program directly from its own
        rendering (not from anything the library produced)."""
        body = "".join(f"    {line}\n" for line in self.py_lines)
        text = f"def ref({', '.join(self.params)}):\n{body}    return {self.py_result}\n"
        namespace: dict = {"math": math}
        exec(compile(text, "<reference>", "exec"), namespace)
        return namespace["ref"]


def _sigmoid(x: float) -> float:
    return 1.0 / (1.0 + math.exp(-x))


class Generator:
    """Builds nested expressions over params and let-bound names."""

    def __init__(self, rng: random.Random, params: list[str], *, builtins: bool = False,
                 conditionals: bool = True, division: bool = True, comparisons_as_values: bool = True,
                 comparisons: list[str] | None = None):
        self.rng = rng
        self.names = list(params)
        self.builtins = builtins
        self.conditionals = conditionals
        self.division = division
        self.comparisons_as_values = comparisons_as_values
        self.comparisons = COMPARISONS if comparisons is None else comparisons

    # Each generator returns (source text, python text); both fully parenthesised.
    def leaf(self) -> tuple[str, str]:
        name = self.rng.choice(self.names)
        return name, name

    def literal(self, *, floats_only: bool = False) -> tuple[str, str]:
        pool = FLOAT_LITERALS if floats_only else FLOAT_LITERALS + INT_LITERALS
        text = self.rng.choice(pool)
        return text, f"({float(text)!r})"

    def float_expr(self, depth: int) -> tuple[str, str]:
        rng = self.rng
        if depth <= 0:
            return self.leaf()
        kinds = ["binary", "binary", "literal", "pow", "neg", "leaf"]
        if self.conditionals:
            kinds.append("if")
        if self.comparisons_as_values:
            kinds.append("cmpvalue")
        if self.builtins:
            kinds += ["call", "call", "call"]
        kind = rng.choice(kinds)
        if kind == "leaf":
            return self.leaf()
        if kind == "binary":
            op = rng.choice(["+", "-", "*", "/"] if self.division else ["+", "-", "*"])
            a, pa = self.float_expr(depth - 1)
            b, pb = self.float_expr(depth - 1)
            return f"({a} {op} {b})", f"({pa} {op} {pb})"
        if kind == "literal":
            op = rng.choice(["+", "-", "*", "/"] if self.division else ["+", "-", "*"])
            a, pa = self.float_expr(depth - 1)
            # Division needs float operands on both sides.
            lit, plit = self.literal(floats_only=op == "/")
            if rng.random() < 0.5:
                return f"({a} {op} {lit})", f"({pa} {op} {plit})"
            return f"({lit} {op} {a})", f"({plit} {op} {pa})"
        if kind == "pow":
            a, pa = self.float_expr(depth - 1)
            exponent = rng.choice(EXPONENTS)
            return f"({a} ** {exponent})", f"({pa} ** {float(exponent)!r})"
        if kind == "neg":
            a, pa = self.float_expr(depth - 1)
            return f"(-{a})", f"(-{pa})"
        if kind == "if":
            c, pc = self.bool_expr(depth - 1)
            a, pa = self.float_expr(depth - 1)
            b, pb = self.float_expr(depth - 1)
            return f"(if {c} then {a} else {b})", f"({pa} if {pc} else {pb})"
        if kind == "cmpvalue":
            c, pc = self.comparison(depth - 1)
            a, pa = self.float_expr(depth - 1)
            return f"({c} * {a})", f"(float({pc}) * {pa})"
        return self.call(depth)

    def comparison(self, depth: int) -> tuple[str, str]:
        op = self.rng.choice(self.comparisons)
        a, pa = self.float_expr(depth)
        b, pb = self.float_expr(depth)
        return f"({a} {op} {b})", f"({pa} {op} {pb})"

    def bool_expr(self, depth: int) -> tuple[str, str]:
        rng = self.rng
        roll = rng.random()
        if depth <= 0 or roll < 0.6:
            return self.comparison(max(depth, 0))
        if roll < 0.8:
            a, pa = self.bool_expr(depth - 1)
            b, pb = self.bool_expr(depth - 1)
            if rng.random() < 0.5:
                return f"({a} && {b})", f"({pa} and {pb})"
            return f"({a} || {b})", f"({pa} or {pb})"
        a, pa = self.bool_expr(depth - 1)
        return f"(!{a})", f"(not {pa})"

    def call(self, depth: int) -> tuple[str, str]:
        """A builtin applied inside its safe domain."""
        rng = self.rng
        g, pg = self.float_expr(depth - 1)
        name = rng.choice(["exp", "log", "sqrt", "sin", "cos", "tanh", "sigmoid", "softplus", "abs", "relu"])
        if name == "log":
            return f"log(1.5 + {g} * {g})", f"math.log((1.5) + {pg} * {pg})"
        if name == "sqrt":
            return f"sqrt(0.5 + {g} * {g})", f"math.sqrt((0.5) + {pg} * {pg})"
        if name == "exp":
            return f"exp(tanh({g}))", f"math.exp(math.tanh({pg}))"
        if name == "softplus":
            return f"softplus(tanh({g}))", f"math.log(1.0 + math.exp(math.tanh({pg})))"
        if name == "sigmoid":
            return f"sigmoid({g})", f"(1.0 / (1.0 + math.exp(-{pg})))"
        if name == "relu":
            return f"relu({g})", f"max({pg}, 0.0)"
        if name == "abs":
            return f"abs({g})", f"abs({pg})"
        return f"{name}({g})", f"math.{name}({pg})"


def random_program(rng: random.Random, *, params=("x", "y", "z"), depth: int = 3, assignments: int | None = None,
                   **options) -> Program:
    """A program with a few assignments (each later one may use the earlier
    names, so subexpressions are shared) and a result expression."""
    params = list(params)
    gen = Generator(rng, params, **options)
    count = rng.randint(0, 3) if assignments is None else assignments
    source_lines = []
    py_lines = []
    for i in range(count):
        text, py = gen.float_expr(rng.randint(1, depth))
        name = f"v{i}"
        source_lines.append(f"{name} = {text}")
        py_lines.append(f"{name} = {py}")
        gen.names.append(name)
    text, py = gen.float_expr(depth)
    source = "\n".join([Program(params, "").header, *source_lines, text])
    return Program(params, source, py_lines, py)


_INT_LITERAL = re.compile(r"(?<![\w.])(\d+)(?![\w.])")


def integers_as_floats(text: str) -> str:
    """Rewrites the integer literals of rendered text in float form (`2` to
    `2.0`): folded constants render integral floats without a fraction, which
    would read back as integers (and `x / 2` would not type-check)."""
    return _INT_LITERAL.sub(r"\1.0", text)


def has_non_finite(text: str) -> bool:
    return re.search(r"(?<![\w])(inf|NaN)(?![\w])", text) is not None


def sample_points(rng: random.Random, params: list[str], count: int, low: float = -2.0, high: float = 2.0):
    return [{p: rng.uniform(low, high) for p in params} for _ in range(count)]


def load_function(code: str, name: str = "_kernel"):
    """Executes emitted code in a fresh namespace and returns the function."""
    namespace: dict = {}
    exec(compile(code, "<emitted>", "exec"), namespace)
    return namespace[name]


def evaluate(fn, point: dict):
    """The function's value at `point`, or the type of the arithmetic error it
    raised (division by zero, overflow)."""
    try:
        return fn(**point)
    except (ZeroDivisionError, OverflowError, ValueError) as error:
        return type(error)


def same_value(a, b, *, rel: float = 0.0, abs_tol: float = 0.0) -> bool:
    if isinstance(a, type) or isinstance(b, type):
        return a is b
    if isinstance(a, bool) or isinstance(b, bool):
        return a == b
    a = float(a)
    b = float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if a == b:
        return True
    return math.isclose(a, b, rel_tol=rel, abs_tol=abs_tol)


# --- typed programs ----------------------------------------------------------

DTYPES = ["bool", "u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64", "f16", "bf16", "f32", "f64", "c64", "c128"]
FLOAT_DTYPES = ["f16", "bf16", "f32", "f64"]
BUILTINS = ["exp", "log", "sqrt", "abs", "sin", "cos", "tanh", "sigmoid", "relu", "softplus", "floor", "ceil"]
OPERATORS = ["+", "-", "*", "/", "//", "%", "**", "==", "!=", "<", "<=", ">", ">=", "&&", "||"]
# Literals of every kind, suffixed, negated, beyond a dtype's range, not finite.
TYPED_LITERALS = ["0", "1", "2", "3", "255", "300", "70000", "0.5", "1.5", "0.1", "2.0", "1e300", "1e-300", "2.5j",
                  "0.0", "pi", "e", "9223372036854775807", "1e999", "0.0@f32", "2@u8", "3@i64", "-1.5", "-2",
                  "true", "false", "-0.0", "1.5@bf16", "7@u64", "-0.0j"]


class TypedGenerator:
    """Expressions over parameters of any dtype, most of which do not type;
    callers keep the programs that compile. With `constants` a literal may
    stand anywhere and inline derivatives occur, so that constant
    subexpressions fold (overflows, NaN, values that no literal spells);
    without it a literal only stands beside an expression that reads a
    parameter, and the folded program computes what the source computes."""

    def __init__(self, rng: random.Random, names: list[str], *, dtypes: list[str], constants: bool,
                 operators: list[str], literals: list[str]):
        self.rng = rng
        self.names = names
        self.dtypes = dtypes
        self.constants = constants
        self.operators = operators
        self.literals = literals

    def expr(self, depth: int) -> str:
        rng = self.rng
        if depth <= 0 or rng.random() < 0.2:
            if self.constants and rng.random() < 0.4:
                return rng.choice(self.literals)
            return rng.choice(self.names)
        roll = rng.random()
        if roll < 0.3:
            return f"({self.expr(depth - 1)} {rng.choice(self.operators)} {self.expr(depth - 1)})"
        if roll < 0.45:
            a, literal = self.expr(depth - 1), rng.choice(self.literals)
            op = rng.choice(self.operators)
            return f"({a} {op} {literal})" if rng.random() < 0.5 else f"({literal} {op} {a})"
        if roll < 0.6:
            return f"{rng.choice(BUILTINS)}({self.expr(depth - 1)})"
        if roll < 0.67:
            return f"-{self.expr(depth - 1)}"
        if roll < 0.72:
            return f"!{self.expr(depth - 1)}"
        if roll < 0.82:
            return f"{self.expr(depth - 1)}@{rng.choice(self.dtypes)}"
        if roll < 0.92 or not self.constants:
            return f"(if {self.expr(depth - 1)} then {self.expr(depth - 1)} else {self.expr(depth - 1)})"
        # An inline derivative holds constant subexpressions.
        return f"diff[{self.names[0]}]({self.expr(depth - 1)})"


def typed_program(rng: random.Random, *, dtypes: list[str] = DTYPES, constants: bool = False,
                  operators: list[str] = OPERATORS, literals: list[str] = TYPED_LITERALS) -> tuple[str, dict[str, str]]:
    """A program's source and its parameters' dtypes."""
    params = ["x", "y", "z"][:rng.randint(1, 3)]
    declared = {p: rng.choice(dtypes if rng.random() < 0.6 else [d for d in dtypes if d[0] == "f"]) for p in params}
    gen = TypedGenerator(rng, list(params), dtypes=dtypes, constants=constants, operators=operators,
                         literals=literals)
    lines = ["|" + ", ".join(f"{p}: {d}" for p, d in declared.items()) + "|"]
    for i in range(rng.randint(0, 2)):
        lines.append(f"v{i} = {gen.expr(rng.randint(1, 3))}")
        gen.names.append(f"v{i}")
    lines.append(gen.expr(rng.randint(1, 4)))
    return "\n".join(lines), declared


def typed_point(rng: random.Random, declared: dict[str, str]) -> dict:
    """Arguments for the parameters, by dtype."""
    point = {}
    for name, dtype in declared.items():
        if dtype == "bool":
            point[name] = rng.random() < 0.5
        elif dtype[0] in "ui":
            point[name] = rng.randint(0 if dtype[0] == "u" else -6, 6)
        elif dtype[0] == "c":
            point[name] = complex(rng.uniform(-2, 2), rng.uniform(-2, 2))
        else:
            point[name] = rng.uniform(-2, 2)
    return point
