"""morvalen.compile and morvalen.emit_numpy: signatures, caching, errors."""

from __future__ import annotations

import inspect
import subprocess
import sys

import pytest

from morvalen import MorvalenError, compile, emit_numpy, emit_python, simplify_expr
from morvalen._morvalen_ext import emit_python as emit_python_wrt
from program_gen import load_function

PROGRAM = "|x: f64, lambda: f64, np: i32| x * lambda + np"


def test_parameters_in_order_named_as_the_emitted_code_names_them():
    assert list(inspect.signature(compile(PROGRAM)).parameters) == ["x", "p1", "np"]
    assert list(inspect.signature(compile(PROGRAM, backend="numpy")).parameters) == ["x", "p1", "p2"]
    assert compile(PROGRAM)(2.0, 3.0, 1) == 7.0
    assert compile(PROGRAM, backend="numpy")(2.0, 3.0, 1) == 7.0


def test_python_backend_is_emit_python():
    source = "|x: f64, y: f64|\nu = x * y\n(u + 1.5, if u > 0.0 then u else -u)"
    assert compile(source)(2.0, -3.0) == compile(source, backend="numpy")(2.0, -3.0) == (-4.5, 6.0)
    assert compile(source).__code__.co_consts == load_function(emit_python(source)).__code__.co_consts
    with pytest.raises(MorvalenError) as error:
        compile(source, optimize=True)
    assert error.value.args == ("optimization failed: only single-output DAG is currently supported by optimize",)


def test_compiled_callables_are_cached():
    source = "|x: f64| x * 2.0"
    assert compile(source) is compile(source)
    assert compile(source, backend="numpy", wrt=["x"]) is compile(source, backend="numpy", wrt=("x",))
    assert compile(source) is not compile(source, optimize=True)
    assert compile(source) is not compile(source, backend="numpy")


def test_compile_errors_are_those_of_the_operations():
    with pytest.raises(MorvalenError) as error:
        compile("|x: f64| y", backend="numpy")
    with pytest.raises(MorvalenError) as same:
        simplify_expr("|x: f64| y")
    assert error.value.args == same.value.args == ("lowering failed: undefined variable `y`",)


WRT_REFUSED = [
    ("|x: f64| x", ["q"], "unknown differentiation variable `q`"),
    ("|x: f64, n: i32| x * n", ["x", "n"], "differentiation requires a floating parameter, got `n: i32`"),
    ("|x: f64| (x, x)", ["x"], "differentiation does not support tuples"),
]


@pytest.mark.parametrize(("source", "wrt", "message"), WRT_REFUSED)
@pytest.mark.parametrize("backend", ["python", "numpy"])
@pytest.mark.parametrize("optimize", [False, True])
def test_wrt_refused_with_the_message_of_diff(source, wrt, message, backend, optimize):
    with pytest.raises(MorvalenError) as error:
        compile(source, backend=backend, wrt=wrt, optimize=optimize)
    assert error.value.args == (message,)


ARGUMENT_ERRORS = [
    ({"backend": "jax"}, ValueError, "backend must be 'python' or 'numpy', got 'jax'"),
    ({"backend": None}, ValueError, "backend must be 'python' or 'numpy', got None"),
    ({"optimize": 1}, TypeError, "argument 'optimize': 'int' object is not an instance of 'bool'"),
    ({"wrt": "x"}, TypeError, "argument 'wrt': expected a sequence of parameter names, not a single 'str'"),
    ({"wrt": [1]}, TypeError, "argument 'wrt': 'int' object is not an instance of 'str'"),
    ({"wrt": 3}, TypeError, "argument 'wrt': 'int' object is not iterable"),
    ({"wrt": []}, ValueError, "argument 'wrt': expected at least one parameter name"),
]


@pytest.mark.parametrize(("options", "error", "message"), ARGUMENT_ERRORS)
def test_argument_errors(options, error, message):
    for backend in ("python", "numpy"):
        with pytest.raises(error) as info:
            compile("|x: f64| x", **{"backend": backend, **options})
        assert str(info.value) == message


def test_emit_numpy_signature_and_name_check():
    assert inspect.signature(emit_numpy) == inspect.signature(emit_python_wrt)
    assert str(inspect.signature(emit_numpy)) == "(source, function_name='_kernel', *, optimize=False, wrt=None)"
    assert "def area(r):" in emit_numpy("|r: f64| pi * r ** 2", "area")
    with pytest.raises(MorvalenError) as error:
        emit_numpy("|x: f64| x", "np")
    assert error.value.args[0].startswith("invalid Python function name `np`")
    assert emit_python_wrt("|x: f64| x * 2.0", "f", optimize=True) == emit_python("|x: f64| x * 2.0", "f", optimize=True)


def test_without_numpy_the_import_error_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError) as error:
        compile("|without_numpy: f64| without_numpy", backend="numpy")
    assert str(error.value) == (
        "the numpy back end of morvalen needs numpy and ml_dtypes; install them with: pip install 'morvalen[numpy]'"
    )
    assert compile("|without_numpy: f64| without_numpy")(2.0) == 2.0


def test_numpy_is_imported_only_by_the_numpy_backend():
    script = (
        "import sys, morvalen\n"
        "morvalen.compile('|x: f64| x')(1.0)\n"
        "before = 'numpy' in sys.modules\n"
        "morvalen.compile('|x: f64| x', backend='numpy')(1.0)\n"
        "print(before, 'numpy' in sys.modules, 'ml_dtypes' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out == "False True False\n"


def test_bf16_kernel_imports_ml_dtypes_itself():
    text = emit_numpy("|x: bf16| x + x")
    assert "import ml_dtypes\n" in text
    assert "ml_dtypes" not in emit_numpy("|x: f16| x + x")
