"""The numpy back end: values against emit_python, dtypes, IEEE results,
broadcasting, gradients against diff, and Dask arrays staying lazy."""

from __future__ import annotations

import math
import random

import ml_dtypes
import numpy as np
import pytest

from morvalen import compile, diff, emit_python
from program_gen import evaluate, integers_as_floats, load_function, random_program, sample_points


def kernel(source: str, **options):
    return compile(source, backend="numpy", **options)


def vectorised(program, rng: random.Random, count: int = 40):
    """The numpy kernel over all sample points at once, and emit_python's
    value (or arithmetic error) at each point."""
    points = sample_points(rng, program.params, count)
    columns = [np.array([p[name] for p in points]) for name in program.params]
    values = np.broadcast_to(kernel(program.source)(*columns), (count,))
    reference = load_function(emit_python(program.source))
    return values, [evaluate(reference, p) for p in points]


@pytest.mark.parametrize("seed", range(40))
def test_arithmetic_matches_emit_python_exactly(seed):
    # +, -, *, /, ** 2 and 3, comparisons and selects round alike in both.
    rng = random.Random(7000 + seed)
    program = random_program(rng, depth=3)
    values, expected = vectorised(program, rng)
    for value, want in zip(values, expected):
        if isinstance(want, type):  # Python raised where numpy gives inf or nan
            continue
        assert value == want or (math.isnan(value) and math.isnan(want)), (program.source, value, want)


@pytest.mark.parametrize("seed", range(20))
def test_builtins_match_emit_python_closely(seed):
    # numpy's exp, log, sin... may differ from the math module's in the last bit.
    rng = random.Random(8000 + seed)
    program = random_program(rng, depth=3, builtins=True, comparisons=["<", ">"])
    values, expected = vectorised(program, rng)
    for value, want in zip(values, expected):
        if isinstance(want, type):
            continue
        assert value == pytest.approx(want, rel=1e-9, abs=1e-9, nan_ok=True), (program.source, value, want)


DTYPES = [
    ("bool", np.bool_), ("u8", np.uint8), ("u16", np.uint16), ("u32", np.uint32), ("u64", np.uint64),
    ("i8", np.int8), ("i16", np.int16), ("i32", np.int32), ("i64", np.int64), ("f16", np.float16),
    ("bf16", ml_dtypes.bfloat16), ("f32", np.float32), ("f64", np.float64), ("c64", np.complex64),
    ("c128", np.complex128),
]


@pytest.mark.parametrize(("spelling", "dtype"), DTYPES, ids=[s for s, _ in DTYPES])
def test_every_node_keeps_the_declared_dtype(spelling, dtype):
    arithmetic = "x * x + x" if spelling != "bool" else "x * x + (x - x)"
    source = f"|x: {spelling}| ({arithmetic}, abs(x), exp(x), relu(x), floor(x), if x == x then x else x)"
    for argument in ([1, 0, 3], 2):
        for result in kernel(source)(argument):
            assert result.dtype == np.dtype(dtype), (source, argument, result)


def test_float_builtin_of_an_integer_computes_in_float64_and_truncates():
    assert kernel("|n: i32| exp(n)")(np.array([1, 3, -2])).tolist() == [2, 20, 0]
    assert kernel("|n: u8| sqrt(n)")(np.array([99, 100, 255])).tolist() == [9, 10, 15]


def test_f32_rounds_and_u8_wraps():
    f32 = kernel("|x: f32, y: f32| x + y - x")
    small = np.float32(1e-8)
    assert f32(1.0, small) == 0.0  # 1 + 1e-8 is 1 in f32
    assert kernel("|x: f64, y: f64| x + y - x")(1.0, 1e-8) != 0.0
    third = kernel("|x: f32| x / 3.0@f32")(1.0)
    assert third == np.float32(1) / np.float32(3) and third.dtype == np.float32
    u8 = kernel("|a: u8, b: u8| a * b + 1@u8")
    assert u8(np.array([200, 16, 255]), 2).tolist() == [145, 33, 255]
    assert kernel("|a: i8| a + 1@i8")(127) == -128
    assert kernel("|a: u8| -a")(1) == 255


IEEE = [
    ("|x: f64| exp(x)", (1000.0,), math.inf),
    ("|x: f64| log(x)", (0.0,), -math.inf),
    ("|x: f64| sqrt(x)", (-1.0,), math.nan),
    ("|x: f64| x / 0.0", (-2.0,), -math.inf),
    ("|x: f64| sigmoid(x)", (-800.0,), 0.0),
    ("|x: f64| sigmoid(x)", (800.0,), 1.0),
    ("|x: f64| softplus(x)", (800.0,), 800.0),
    ("|x: f64| softplus(x)", (-800.0,), 0.0),
    ("|x: f32| sigmoid(x)", (-710.0,), 0.0),
    ("|x: f64| if x > 0.0 then sqrt(x) else -x", (-2.5,), 2.5),
    ("|x: f16| x * 1000.0", (100.0,), math.inf),
    ("|a: i32, b: i32| a // b + a % b", (7, 0), 0),
]


@pytest.mark.parametrize(("source", "arguments", "expected"), IEEE, ids=[f"{s} at {a}" for s, a, _ in IEEE])
def test_ieee_results_without_exception_or_warning(source, arguments, expected):
    with np.errstate(all="raise"):  # the kernel sets its own
        value = kernel(source)(*arguments)
    assert value == pytest.approx(expected, nan_ok=True)


def test_arguments_broadcast():
    product = kernel("|x: f64, y: f32| x * y@f64")
    assert product(np.arange(3.0).reshape(3, 1), np.arange(4.0)).shape == (3, 4)
    assert product(np.arange(3.0), 2.0).tolist() == [0.0, 2.0, 4.0]
    scalar = product(1.5, 2.0)
    assert np.ndim(scalar) == 0 and scalar == 3.0


GRADIENTS = [
    "|x: f64, y: f64| sin(x * y) + x * x",
    "|x: f64, y: f64| sqrt(x * x + y * y) + log(1.0 + x * x) * tanh(y)",
    "|x: f64, y: f64|\nu = x * y\nif u > 0.5 then exp(-u) / y else softplus(u) - x",
    "|x: f32, y: f64| sigmoid(x) * y + relu(y) ** 3",
]


@pytest.mark.parametrize("source", GRADIENTS)
@pytest.mark.parametrize("backend", ["numpy", "python"])
def test_gradients_match_diff(source, backend):
    header = source.split("|")[1]
    rng = random.Random(11)
    points = [(rng.uniform(0.1, 2.0), rng.uniform(-2.0, 2.0)) for _ in range(10)]
    both = compile(source, backend=backend, wrt=["x", "y"])
    value = compile(source, backend=backend)
    partials = [compile(f"|{header}| " + integers_as_floats(diff(source, v)), backend=backend) for v in "xy"]
    for x, y in points:
        got = both(x, y)
        assert got[0] == value(x, y)
        for derivative, expected in zip(got[1:], partials):
            assert derivative == pytest.approx(expected(x, y), rel=1e-6), (source, x, y)


def test_dask_array_stays_lazy():
    da = pytest.importorskip("dask.array")
    source = "|x: f64, y: f32| if x > 0.0 then sqrt(x) * y else -x"
    x = np.linspace(-2.0, 2.0, 12)
    lazy = kernel(source)(da.from_array(x, chunks=4), np.float32(3.0))
    assert isinstance(lazy, da.Array)
    # Dask computes outside the kernel: the caller's settings apply (sqrt of
    # the untaken negative branch).
    with np.errstate(invalid="ignore"):
        computed = lazy.compute(scheduler="synchronous")
    assert np.array_equal(computed, kernel(source)(x, np.float32(3.0)))
    value, dx = kernel("|x: f64| x * sigmoid(x)", wrt=["x"])(da.from_array(x, chunks=4))
    assert isinstance(value, da.Array) and isinstance(dx, da.Array)
    assert np.allclose(dx.compute(), kernel("|x: f64| x * sigmoid(x)", wrt=["x"])(x)[1])
