"""Failure messages through the three functions, whole texts."""

from __future__ import annotations

import pytest

from morvalen import MorvalenError, diff, emit_python, simplify_expr

NAME_HELP = "`: expected a non-keyword identifier matching [A-Za-z_][A-Za-z0-9_]*"

# Sources that fail before any operation-specific stage: every function, with
# or without optimisation, reports the same message.
COMMON_FAILURES = [
    ("", "parse failed: syntax error: expected function header `|...|`"),
    ("x + 1", "parse failed: syntax error: expected function header `|...|`"),
    ("# |x: f64| x", "parse failed: syntax error: expected function header `|...|`"),
    ("|x: f32 x", "parse failed: syntax error: expected closing `|` for function header"),
    ("|x: f32|", "parse failed: syntax error: missing function body"),
    ("|x: f32|   \n  \n", "parse failed: syntax error: missing function body"),
    ("|x: f32,| x", "parse failed: syntax error: invalid parameter, expected `name: dtype`"),
    ("|x f32| x", "parse failed: syntax error: invalid parameter, expected `name: dtype`"),
    ("|: f32| 1", "parse failed: syntax error: identifier cannot be empty"),
    ("|2x: f32| 1", "parse failed: syntax error: invalid identifier `2x`"),
    ("|pi: f64| 1", "parse failed: reserved word `pi` cannot be used as an identifier"),
    ("|f32: f64| 1", "parse failed: reserved word `f32` cannot be used as an identifier"),
    ("|x: float| x", "parse failed: unknown type `float`"),
    ("|x: f64|\ny = x", "parse failed: syntax error: missing result expression after assignments"),
    ("|x: f64|\nx + 1\nx", "parse failed: syntax error: statement must be assignment `name = expr`"),
    ("|x: f64|\n = 3\nx", "parse failed: syntax error: invalid assignment"),
    ("|x: f64|\ny =\nx", "parse failed: syntax error: invalid assignment"),
    ("|x: f64|\nif = 3\nx", "parse failed: reserved word `if` cannot be used as an identifier"),
    ("|x: f32| x +", "parse failed: syntax error: syntax error"),
    ("|x: f32| x @ foo", "parse failed: unknown type `foo`"),
    ("|x: f32| cast<foo>(x)", "parse failed: unknown type `foo`"),
    ("|x: f32| x $ 1", "parse failed: syntax error: lex error"),
    ("|x: f32| 9223372036854775808", "parse failed: syntax error: invalid integer literal"),
    (
        "|x: f64| 99999999999999999999 + 99999999999999999999",
        "parse failed: syntax error: invalid integer literal; syntax error: invalid integer literal",
    ),
    ("|x: c64| x + 3j", "parse failed: integer imaginary literal `3j` is not supported; use float form `3.0j` instead"),
    ("|x: f64| y", "lowering failed: undefined variable `y`"),
    ("|x: f64| y + z", "lowering failed: undefined variable `y`; undefined variable `z`"),
    ("|x: f32| x / 2", "lowering failed: type mismatch in /: cannot promote f32 and i8"),
    ("|x: i32| x // 0", "lowering failed: division by zero in //"),
    ("|x: i32| x % 0", "lowering failed: division by zero in %"),
    ("|x: f64| exp_sigmoid(x)", "lowering failed: undefined function `exp_sigmoid`"),
    ("|x: f64| exp(x, x)", "lowering failed: wrong argument count for `exp`: expected 1, got 2"),
    ("|x: f64| -5@u8 + x", "lowering failed: integer literal `-5` is out of range for `u8`"),
    ("|b: bool| -b", "lowering failed: type mismatch in neg: cannot promote bool and bool"),
    ("|x: f64| !x", "lowering failed: type mismatch in not: cannot promote f64 and bool"),
    ("|x: f64| if x then 1.0 else 2.0", "lowering failed: type mismatch in if_cond: cannot promote f64 and bool"),
    ("|x: bf16, n: u8| x + n", "lowering failed: type mismatch in +: cannot promote bf16 and u8"),
    ("|x: f64| (x, x) + 1", "lowering failed: expected 1 value, but expression produced 2"),
    ("|x: f64| diff[y](x * x)", "lowering failed: unknown differentiation variable `y`"),
    ("|n: i32| diff[n](n)", "lowering failed: differentiation requires a floating parameter, got `n: i32`"),
]

OPERATIONS = [
    ("simplify", lambda src, opt: simplify_expr(src, optimize=opt)),
    ("emit", lambda src, opt: emit_python(src, "f", optimize=opt)),
    ("diff", lambda src, opt: diff(src, "x", optimize=opt)),
]


@pytest.mark.parametrize("optimize", [False, True], ids=["plain", "optimize"])
@pytest.mark.parametrize(("op_name", "operation"), OPERATIONS, ids=[name for name, _ in OPERATIONS])
@pytest.mark.parametrize(("source", "message"), COMMON_FAILURES)
def test_common_failure(source, message, op_name, operation, optimize):
    with pytest.raises(MorvalenError) as info:
        operation(source, optimize)
    assert info.value.args == (message,)


WARNING_ONLY = [
    ("|a: i32, b: f32| a + b", "a + b"),
    ("|a: u64, b: i64| a + b", "a + b"),
    ("|x: f32| x * 2", "x * 2"),
    ("|x: f32| 0.1@f32 + x", "0.1 + x"),
    ("|x: f64| x@f32@f64", "x@f32@f64"),
]


@pytest.mark.parametrize(("source", "text"), WARNING_ONLY)
def test_warnings_never_fail_or_show(source, text):
    assert simplify_expr(source) == text
    code = emit_python(source)
    assert code.startswith("import math\n\ndef _kernel(")
    assert "warning" not in code and "promotion" not in code


TUPLE = "|x: f64| (x, x + 1.5)"


def test_simplify_tuple_counts_outputs():
    with pytest.raises(MorvalenError) as info:
        simplify_expr(TUPLE)
    assert info.value.args == ("expected a single output expression, got 2",)
    with pytest.raises(MorvalenError) as info:
        simplify_expr("|x: f64| (x, x, x)")
    assert info.value.args == ("expected a single output expression, got 3",)


def test_optimizer_refuses_tuples_first():
    expected = ("optimization failed: only single-output DAG is currently supported by optimize",)
    with pytest.raises(MorvalenError) as info:
        simplify_expr(TUPLE, optimize=True)
    assert info.value.args == expected
    with pytest.raises(MorvalenError) as info:
        emit_python(TUPLE, optimize=True)
    assert info.value.args == expected


def test_emit_tuple_without_optimize_returns_a_tuple():
    code = emit_python(TUPLE, "pair")
    assert code == (
        "import math\n\ndef pair(x):\n    t0 = x\n    t1 = 1.5\n    t2 = float(t1)\n"
        "    t3 = (t0 + t2)\n    return (t0, t3)\n"
    )
    namespace: dict = {}
    exec(code, namespace)
    assert namespace["pair"](2.0) == (2.0, 3.5)


@pytest.mark.parametrize("optimize", [False, True])
def test_diff_refusals_have_no_prefix(optimize):
    cases = [
        ("|x: f64| x * x", "y", "unknown differentiation variable `y`"),
        ("|x: f64| x * x", "", "unknown differentiation variable ``"),
        ("|x: f64| x * x", "X", "unknown differentiation variable `X`"),
        ("|n: i32| n * 2", "n", "differentiation requires a floating parameter, got `n: i32`"),
        ("|z: c64| z * z", "z", "differentiation requires a floating parameter, got `z: c64`"),
        ("|b: bool, x: f64| if b then x else 1.0", "b", "differentiation requires a floating parameter, got `b: bool`"),
        ("|x: f64| (x, x)", "x", "differentiation does not support tuples"),
    ]
    for source, variable, message in cases:
        with pytest.raises(MorvalenError) as info:
            diff(source, variable, optimize=optimize)
        assert info.value.args == (message,), (source, variable)


def test_diff_checks_variable_before_outputs():
    with pytest.raises(MorvalenError) as info:
        diff("|x: f64| (x, x)", "q")
    assert info.value.args == ("unknown differentiation variable `q`",)


BAD_NAMES = ["class", "lambda", "None", "1f", "", " f", "f g", "a-b", "größe", "f\n", "math", "float", "int", "abs", "bool", "complex"]


@pytest.mark.parametrize("name", BAD_NAMES)
@pytest.mark.parametrize("source", ["|x: f64| x", "not a program"])
@pytest.mark.parametrize("optimize", [False, True])
def test_bad_function_name_is_reported_first(name, source, optimize):
    with pytest.raises(MorvalenError) as info:
        emit_python(source, name, optimize=optimize)
    assert info.value.args == ("invalid Python function name `" + name + NAME_HELP,)


def test_exponentially_long_text_is_a_morvalen_error():
    # Each binding squares the previous one: the rendered text would hold 2**40 leaves.
    lines = ["|x: f64|", "y0 = x"] + [f"y{i} = y{i - 1} * y{i - 1}" for i in range(1, 41)] + ["y40"]
    with pytest.raises(MorvalenError) as info:
        simplify_expr("\n".join(lines))
    assert info.value.args == ("rendered expression is longer than 268435456 bytes",)


@pytest.mark.parametrize("name", ["f", "_", "_kernel", "Math", "math2", "async_", "F00", "true", "none"])
def test_good_function_names(name):
    code = emit_python("|x: f64| x * 2.0", name)
    namespace: dict = {}
    exec(code, namespace)
    assert namespace[name](1.25) == 2.5
