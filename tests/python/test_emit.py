"""Emitted Python executed and compared with values computed independently."""

from __future__ import annotations

import math
import random

import pytest

from morvalen import emit_python, simplify_expr
from program_gen import evaluate, load_function, random_program, same_value, sample_points


def compile_program(source: str, name: str = "_kernel", optimize: bool = False):
    return load_function(emit_python(source, name, optimize=optimize), name)


def test_documented_example_text():
    assert emit_python("|x: f64| x * 2.0 + 1.0") == (
        "import math\n\ndef _kernel(x):\n    t0 = x\n    t1 = 2\n    t2 = float(t1)\n    t3 = (t0 * t2)\n"
        "    t4 = 1\n    t5 = float(t4)\n    t6 = (t3 + t5)\n    return t6\n"
    )


def test_unused_parameter_is_declared_but_not_read():
    code = emit_python("|x: f64, unused: i32| x")
    assert code == "import math\n\ndef _kernel(x, unused):\n    t0 = x\n    return t0\n"
    assert load_function(code)(3.5, 7) == 3.5


def test_python_keywords_as_parameter_names_become_positions():
    code = emit_python("|lambda: f64, None: f64| lambda - None")
    assert "def _kernel(p0, p1):" in code
    assert load_function(code)(5.0, 1.5) == 3.5


def test_shared_node_computed_once():
    code = emit_python("|x: f64|\ny = x * x\ny + y")
    assert code.count("(t0 * t0)") == 1
    assert load_function(code)(3.0) == 18.0


ARITHMETIC = [
    ("|x: f64, y: f64| x * y + 1.5", lambda x, y: x * y + 1.5),
    ("|x: f64, y: f64| (x - y) / (x * x + 1.0)", lambda x, y: (x - y) / (x * x + 1.0)),
    ("|x: f64, y: f64| -x ** 2 + y", lambda x, y: -(x**2) + y),
    ("|x: f64, y: f64| (-x) ** 2 + y", lambda x, y: (-x) ** 2 + y),
    ("|x: f64, y: f64| x ** 3 - 2 * y", lambda x, y: x**3.0 - 2.0 * y),
    ("|x: f64, y: f64| if x < y then x else y", lambda x, y: x if x < y else y),
    ("|x: f64, y: f64| if x > 0.0 && y > 0.0 then 1.0 else 0.0", lambda x, y: 1.0 if x > 0 and y > 0 else 0.0),
    ("|x: f64, y: f64| if !(x >= y) || x == 0.5 then x else -y", lambda x, y: x if (not x >= y) or x == 0.5 else -y),
    ("|x: f64, y: f64| (x < y) * 2.5 + (x != y)", lambda x, y: float(x < y) * 2.5 + float(x != y)),
    ("|x: f64, y: f64|\na = x + y\nb = a * a\nb - a / 2.0", lambda x, y: (x + y) * (x + y) - (x + y) / 2.0),
    ("|x: f64, y: f64| pi * x + e * y", lambda x, y: math.pi * x + math.e * y),
    ("|x: f64, y: f64| x@i32 + y@i32", lambda x, y: float(int(x) + int(y))),
]


@pytest.mark.parametrize(("source", "reference"), ARITHMETIC, ids=[s for s, _ in ARITHMETIC])
def test_arithmetic_programs(source, reference):
    fn = compile_program(source)
    rng = random.Random(source)
    for point in sample_points(rng, ["x", "y"], 50, -3.0, 3.0) + [{"x": 0.5, "y": 0.5}, {"x": 0.0, "y": 0.0}]:
        assert same_value(evaluate(fn, point), evaluate(reference, point)), point


def _sigmoid(v: float) -> float:
    return 1.0 / (1.0 + math.exp(-v))


BUILTINS = [
    ("exp", math.exp, (-3.0, 3.0)),
    ("log", math.log, (0.1, 5.0)),
    ("sqrt", math.sqrt, (0.0, 9.0)),
    ("abs", abs, (-3.0, 3.0)),
    ("sin", math.sin, (-3.0, 3.0)),
    ("cos", math.cos, (-3.0, 3.0)),
    ("tanh", math.tanh, (-3.0, 3.0)),
    ("sigmoid", _sigmoid, (-5.0, 5.0)),
    ("relu", lambda v: v if v > 0 else 0.0, (-3.0, 3.0)),
    ("softplus", lambda v: math.log1p(math.exp(v)), (-5.0, 5.0)),
    ("floor", lambda v: float(math.floor(v)), (-3.0, 3.0)),
    ("ceil", lambda v: float(math.ceil(v)), (-3.0, 3.0)),
]


@pytest.mark.parametrize(("name", "reference", "domain"), BUILTINS, ids=[b[0] for b in BUILTINS])
def test_builtins(name, reference, domain):
    fn = compile_program(f"|x: f64| {name}(x)")
    rng = random.Random(name)
    for _ in range(40):
        x = rng.uniform(*domain)
        assert math.isclose(fn(x), reference(x), rel_tol=1e-12, abs_tol=1e-12), x
    assert isinstance(fn(1.5), float)


def test_integer_arithmetic_and_casts():
    fn = compile_program("|a: i32, b: i32| a // b + a % b * 10")
    for a, b in [(7, 2), (-7, 2), (7, -2), (-7, -2), (100, 7)]:
        assert fn(a, b) == a // b + a % b * 10
    to_float = compile_program("|n: i32| n@f64 / 4.0")
    assert to_float(10) == 2.5
    truncate = compile_program("|x: f64| x@i64")
    assert truncate(-2.75) == -2
    assert compile_program("|x: f64| x@bool")(0.0) is False


def test_constants():
    assert compile_program("|x: f64| true")(1.0) is True
    assert compile_program("|x: f64| x * 1e300 * 1e300")(1.0) == math.inf
    code = emit_python("|x: c128| x * 2.5j")
    assert "complex(0, 2.5)" in code
    assert load_function(code)(1 + 1j) == (1 + 1j) * 2.5j


def test_emitted_name_and_optimize_flag():
    plain = compile_program("|x: f64| x * 1.0 + 0.0", "plain")
    better = compile_program("|x: f64| x * 1.0 + 0.0", "better", optimize=True)
    for x in [-2.0, 0.25, 3.0]:
        assert plain(x) == better(x) == x


@pytest.mark.parametrize("seed", range(40))
def test_random_programs_match_their_python_rendering(seed):
    rng = random.Random(seed)
    program = random_program(rng, depth=3)
    fn = load_function(emit_python(program.source))
    reference = program.reference()
    for point in sample_points(rng, program.params, 20):
        assert same_value(evaluate(fn, point), evaluate(reference, point)), (program.source, point)


@pytest.mark.parametrize("seed", range(20))
def test_random_programs_with_builtins_match(seed):
    rng = random.Random(1000 + seed)
    program = random_program(rng, depth=3, builtins=True)
    fn = load_function(emit_python(program.source))
    reference = program.reference()
    for point in sample_points(rng, program.params, 20):
        got, want = evaluate(fn, point), evaluate(reference, point)
        assert same_value(got, want, rel=1e-12, abs_tol=1e-12), (program.source, point)


def test_simplified_text_of_a_shared_expression():
    # A let-bound expression used twice is rendered twice (no temporaries).
    assert simplify_expr("|x: f64|\ny = x + 1.5\ny * y") == "(x + 1.5) * (x + 1.5)"


OPTIMIZED_TEXTS = [
    ("|n: i32| n * 1 + 0", "n"),
    ("|x: f64| log(exp(x))", "x"),
    ("|x: f64| --x", "x"),
    ("|x: f64| sigmoid(exp(x))", "exp_sigmoid(x)"),
    ("|x: f64| log(sigmoid(x))", "sigmoid_log(x)"),
    ("|b: bool| !!b", "b"),
]


@pytest.mark.parametrize(("source", "text"), OPTIMIZED_TEXTS)
def test_optimized_texts(source, text):
    assert simplify_expr(source, optimize=True) == text


def test_fused_builtins_emit_and_evaluate():
    code = emit_python("|x: f64| sigmoid(exp(x)) + log(sigmoid(x))", optimize=True)
    assert "(1.0 / (1.0 + math.exp(-math.exp(t" in code
    assert "math.log(1.0 / (1.0 + math.exp(-t" in code
    fn = load_function(code)
    for x in [-2.0, -0.5, 0.0, 0.75, 2.0]:
        want = _sigmoid(math.exp(x)) + math.log(_sigmoid(x))
        assert math.isclose(fn(x), want, rel_tol=1e-12, abs_tol=1e-15)
