"""simplify_program and diff_program: results as program texts that stay
proportional to the graph, read back into it exactly and can be
differentiated again."""

from __future__ import annotations

import inspect
import math
import random

import pytest
import sympy

from morvalen import MorvalenError, _morvalen_ext, diff, diff_program, emit_python, simplify_expr, simplify_program
from program_gen import (
    FLOAT_DTYPES,
    OPERATORS,
    TYPED_LITERALS,
    load_function,
    random_program,
    typed_point,
    typed_program,
)


def chain(lines: int) -> str:
    """Each line doubles the text of the one-line result."""
    return "|x: f64|\n" + "x = x * x + sin(x)\n" * lines + "x"


def test_signatures():
    assert str(inspect.signature(simplify_program)) == "(source, *, optimize=False)"
    assert str(inspect.signature(diff_program)) == "(source, variable, *, optimize=False)"


def test_shared_nodes_are_named_in_order_of_use():
    assert simplify_program(chain(2)) == "|x: f64|\nt1 = x * x + sin(x)\nt1 * t1 + sin(t1)"
    assert diff_program(chain(2), "x") == (
        "|x: f64|\nt1 = x * x + sin(x)\nt2 = x + x + cos(x)\nt3 = t1 * t2\nt3 + t3 + t2 * cos(t1)"
    )
    # Names never take a parameter's.
    assert simplify_program("|t1: f64, t2: f64| y = t1 * t2\ny * y") == "|t1: f64, t2: f64|\nt1_ = t1 * t2\nt1_ * t1_"


@pytest.mark.parametrize("lines", [15, 40])
def test_chain_stays_linear(lines):
    """One line of simplify_expr's text is 100 MB at 15 lines; programs stay
    a few dozen bytes a line, derivatives of derivatives included."""
    source = chain(lines)
    first = diff_program(source, "x")
    second = diff_program(first, "x")
    assert len(simplify_program(source)) < 30 * lines
    assert len(first) < 80 * lines
    assert len(second) < 220 * lines
    x = 0.001
    assert load_function(emit_python(first))(x) == load_function(_morvalen_ext.emit_python(source, wrt=["x"]))(x)[1]


# --- exact on reparse ----------------------------------------------------------


def _same_real(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def same_result(a, b) -> bool:
    """The same value, NaN as NaN, complex as complex. Not the sign of a zero:
    emit_python writes integral float constants as Python integers (-0.0 as
    `-0`), whose arithmetic gives zeros of other signs than the constants'."""
    if isinstance(b, BaseException):
        return False
    if isinstance(a, complex) or isinstance(b, complex):
        return type(a) is type(b) and _same_real(a.real, b.real) and _same_real(a.imag, b.imag)
    return _same_real(a, b)


def call(fn, point):
    try:
        return fn(**point)
    except (ArithmeticError, ValueError, TypeError) as error:
        return error


def assert_computes_the_same(text: str, reference, points, *, derivative: bool = False):
    """`reference` computes the source (with `derivative`, its value and its
    derivative, of which the derivative is compared). Points where it fails
    are skipped: folding may drop the failing part (`(x % x) ** false` is 1)."""
    again = load_function(emit_python(text))
    for point in points:
        expected = call(reference, point)
        if isinstance(expected, BaseException):
            continue
        assert same_result(expected[1] if derivative else expected, call(again, point)), (text, point)


def check_round_trip(source: str, declared: dict[str, str], rng: random.Random, variables) -> int:
    """The program texts of `source` compute what the source computes; returns
    how many texts were compared."""
    compared = 0
    points = [typed_point(rng, declared) for _ in range(3)]
    for optimize in (False, True):
        try:
            text = simplify_program(source, optimize=optimize)
        except MorvalenError:
            return compared
        assert_computes_the_same(text, load_function(emit_python(source, optimize=optimize)), points)
        compared += 1
        for variable in variables:
            try:
                text = diff_program(source, variable, optimize=optimize)
            except MorvalenError:
                continue  # refused as diff refuses it
            both = load_function(_morvalen_ext.emit_python(source, wrt=[variable], optimize=optimize))
            assert_computes_the_same(text, both, points, derivative=True)
            compared += 1
    return compared


@pytest.mark.parametrize("block", range(10))
def test_random_programs_round_trip(block):
    rng = random.Random(7000 + block)
    compared = 0
    for i in range(100):
        program = random_program(rng, depth=rng.randint(1, 4), builtins=i % 2 == 0, conditionals=i % 3 != 0)
        declared = {p: "f64" for p in program.params}
        compared += check_round_trip(program.source, declared, rng, program.params)
    assert compared == 800


@pytest.mark.parametrize("block", range(10))
def test_typed_programs_round_trip(block):
    """Every dtype for the simplified program; derivatives of float programs
    (a derivative through integer, bool or complex values, or of `%`, holds
    operations that the language writes only approximately, see
    backend/source_shape.h)."""
    rng = random.Random(8000 + block)
    compared = 0
    for _ in range(100):
        source, declared = typed_program(rng)
        compared += check_round_trip(source, declared, rng, [])
        operators = [op for op in OPERATORS if op != "%"]
        literals = [literal for literal in TYPED_LITERALS if not literal.endswith("j")]
        source, declared = typed_program(rng, dtypes=FLOAT_DTYPES, operators=operators, literals=literals)
        compared += check_round_trip(source, declared, rng, list(declared))
    assert compared > 200


@pytest.mark.parametrize("block", range(4))
def test_simplify_program_of_a_program_returns_it(block):
    """Constants of every kind, folded from constant subexpressions too."""
    rng = random.Random(9000 + block)
    texts = 0
    for _ in range(250):
        source, declared = typed_program(rng, constants=True)
        for optimize in (False, True):
            outputs = []
            try:
                outputs.append(simplify_program(source, optimize=optimize))
                outputs.extend(diff_program(source, v, optimize=optimize) for v in declared if declared[v] in FLOAT_DTYPES)
            except MorvalenError:
                pass
            for text in outputs:
                assert simplify_program(text) == text, (source, text)
            texts += len(outputs)
    assert texts > 150


# --- what simplify_expr writes for display only ----------------------------------

DISPLAY_ONLY = [
    # (source, optimize, simplify_expr, simplify_program)
    ("|x: f64| x / 2.0", False, "x / 2", "x / 2.0"),
    ("|x: f32| x * 0.1@f32", False, "x * 0.1", "x * 0.1@f32"),
    ("|x: f64| y = 2.0\nx * y + y", True, "2 + x * 2", "t1 = 2.0@f64\nt1 + x * t1"),
    ("|x: f64| x * (1e999 - 1e999) + 1e999 - -1e999 / x", False, "x * NaN + inf - -inf / x",
     "x * (1e999 - 1e999) + 1e999 - -1e999 / x"),
    ("|x: f64| log(sigmoid(x)) + sigmoid(exp(x))", True, "sigmoid_log(x) + exp_sigmoid(x)",
     "log(sigmoid(x)) + sigmoid(exp(x))"),
    ("|x: i64| x + (-9223372036854775807 - 1)", False, "x + -9223372036854775808", "x + (-9223372036854775807 - 1)"),
    ("|x: u64| x + 9223372036854775807@u64 * 2@u64", False, "x + 18446744073709551614",
     "x + (9223372036854775807@u64 + 9223372036854775807@u64)"),
    ("|x: i8| (100 + 100) * x", False, "200 * x", "(100@i8 + 100@i8) * x"),
    ("|z: c64| z * -(1.5 + 0.0j)", False, "z * (-1.5+-0j)", "z * -(1.5 + -0.0j)"),
]


@pytest.mark.parametrize(("source", "optimize", "display", "program"), DISPLAY_ONLY)
def test_display_only_results_become_programs(source, optimize, display, program):
    assert simplify_expr(source, optimize=optimize) == display
    header = source.split("|")[1]
    text = simplify_program(source, optimize=optimize)
    assert text == f"|{header}|\n{program}"
    assert simplify_program(text) == text


# --- derivatives of derivatives ------------------------------------------------


def test_second_derivative_against_sympy():
    source = "|x: f64|\ny = x * x + sin(x)\nexp(-y) * y / (1.0 + x * x)"
    second = diff_program(diff_program(source, "x"), "x")
    fn = load_function(emit_python(second))
    x = sympy.Symbol("x")
    y = x * x + sympy.sin(x)
    expected = sympy.diff(sympy.exp(-y) * y / (1 + x * x), x, 2)
    for point in (-1.3, -0.2, 0.4, 1.7):
        assert fn(point) == pytest.approx(float(expected.subs(x, point).evalf(30)), rel=1e-12, abs=1e-14)


# --- errors ----------------------------------------------------------------------

ERRORS = [
    (lambda: simplify_program("|x: f64| (x, x)"), "expected a single output expression, got 2"),
    (lambda: simplify_program("|x: f64| (x, x)", optimize=True),
     "optimization failed: only single-output DAG is currently supported by optimize"),
    (lambda: simplify_program("|x: f64| x / 2"), "lowering failed: type mismatch in /: cannot promote f64 and i8"),
    (lambda: diff_program("|x: f64| x", "y"), "unknown differentiation variable `y`"),
    (lambda: diff_program("|n: i32| n", "n"), "differentiation requires a floating parameter, got `n: i32`"),
    (lambda: diff_program("|x: f64| x +", "x"), "parse failed: syntax error: syntax error"),
]


@pytest.mark.parametrize(("call_it", "message"), ERRORS)
def test_errors_are_those_of_simplify_expr_and_diff(call_it, message):
    with pytest.raises(MorvalenError) as info:
        call_it()
    assert info.value.args == (message,)


def test_diff_program_fails_where_diff_fails():
    for source, variable in [("|x: f64| x", "y"), ("|n: i32| n", "n"), ("|x: f64| (x, x)", "x")]:
        with pytest.raises(MorvalenError) as expected:
            diff(source, variable)
        with pytest.raises(MorvalenError) as got:
            diff_program(source, variable)
        assert got.value.args == expected.value.args
