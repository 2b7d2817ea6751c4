"""The module's contract: attributes, the exception type, signatures, argument
binding and conversion, all with whole message texts."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morvalen
from morvalen import MorvalenError, _morvalen, diff, emit_python, simplify_expr

SRC = "|x: f64| x + 1.5"


# --- attributes ------------------------------------------------------------------


def test_all_lists_five_names_in_order():
    assert _morvalen.__all__ == ["__version__", "MorvalenError", "simplify_expr", "diff", "emit_python"]


def test_version():
    assert _morvalen.__version__ == "0.0.2"
    assert morvalen.__version__ == "0.0.2"


def test_package_reexports_the_same_objects():
    # The package adds the entry points of _morvalen_ext after the module's five names.
    assert morvalen.__all__ == _morvalen.__all__ + ["emit_numpy", "simplify_program", "diff_program", "compile"]
    for name in _morvalen.__all__:
        assert getattr(morvalen, name) is getattr(_morvalen, name)


def test_stub_all_lists_the_same_names():
    stub = ast.parse(Path(_morvalen.__file__).with_name("_morvalen.pyi").read_text(encoding="utf-8"))
    values = [node.value for node in stub.body if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"]
    assert [ast.literal_eval(value) for value in values] == [_morvalen.__all__]


def test_module_doc_is_empty():
    assert _morvalen.__doc__ == ""


def test_module_has_no_other_public_attributes():
    public = {name for name in vars(_morvalen) if not name.startswith("_")}
    assert public == {"MorvalenError", "simplify_expr", "diff", "emit_python"}


# --- the exception type --------------------------------------------------------------


def test_exception_type_names_and_base():
    assert MorvalenError.__name__ == "MorvalenError"
    assert MorvalenError.__module__ == "_morvalen"
    assert MorvalenError.__qualname__ == "MorvalenError"
    assert MorvalenError.__bases__ == (Exception,)
    assert MorvalenError.__doc__ is None


def test_exception_is_caught_as_exception_with_one_string_argument():
    with pytest.raises(Exception) as info:
        simplify_expr("no header")
    error = info.value
    assert type(error) is MorvalenError
    assert error.args == ("parse failed: syntax error: expected function header `|...|`",)
    assert str(error) == error.args[0]


def test_exception_pickles_to_the_same_type_message_and_attributes():
    error = MorvalenError("lowering failed: undefined variable `y`")
    error.detail = 7
    copies = [pickle.loads(pickle.dumps(error, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    assert {(type(copy), copy.args, copy.detail) for copy in copies} == {(MorvalenError, error.args, 7)}


def test_module_executed_again_reuses_the_exception_type():
    found = importlib.util.find_spec("morvalen._morvalen")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not _morvalen
    assert again.MorvalenError is MorvalenError
    assert again.__all__ == _morvalen.__all__
    with pytest.raises(MorvalenError):
        again.simplify_expr("")


# --- function objects ------------------------------------------------------------------

SIGNATURES = [
    (simplify_expr, "simplify_expr(source, *, optimize=False)\n--\n\n", "(source, *, optimize=False)"),
    (diff, "diff(source, variable, *, optimize=False)\n--\n\n", "(source, variable, *, optimize=False)"),
    (
        emit_python,
        'emit_python(source, function_name="_kernel", *, optimize=False)\n--\n\n',
        '(source, function_name="_kernel", *, optimize=False)',
    ),
]


@pytest.mark.parametrize(("function", "doc", "text_signature"), SIGNATURES, ids=lambda v: getattr(v, "__name__", ""))
def test_signature_and_doc(function, doc, text_signature):
    assert function.__text_signature__ == text_signature
    # Only the signature was written: no further doc text.
    assert function.__doc__ is None
    assert function.__module__ == "morvalen._morvalen"
    assert function.__self__ is _morvalen
    assert type(function).__name__ == "builtin_function_or_method"


def test_inspect_signature():
    sig = inspect.signature(emit_python)
    assert [(p.name, p.kind.name, p.default) for p in sig.parameters.values()] == [
        ("source", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("function_name", "POSITIONAL_OR_KEYWORD", "_kernel"),
        ("optimize", "KEYWORD_ONLY", False),
    ]


# --- argument binding -------------------------------------------------------------------

BINDING_ERRORS = [
    (simplify_expr, (), {}, "simplify_expr() missing 1 required positional argument: 'source'"),
    (simplify_expr, (SRC, True), {}, "simplify_expr() takes 1 positional arguments but 2 were given"),
    (simplify_expr, (SRC, True, False), {}, "simplify_expr() takes 1 positional arguments but 3 were given"),
    (simplify_expr, (SRC,), {"optimise": True}, "simplify_expr() got an unexpected keyword argument 'optimise'"),
    (simplify_expr, (SRC,), {"source": SRC}, "simplify_expr() got multiple values for argument 'source'"),
    (simplify_expr, (), {"optimize": True}, "simplify_expr() missing 1 required positional argument: 'source'"),
    (diff, (), {}, "diff() missing 2 required positional arguments: 'source' and 'variable'"),
    (diff, (SRC,), {}, "diff() missing 1 required positional argument: 'variable'"),
    (diff, (), {"variable": "x"}, "diff() missing 1 required positional argument: 'source'"),
    (diff, (SRC, "x", True), {}, "diff() takes 2 positional arguments but 3 were given"),
    (diff, (SRC, "x"), {"variable": "x"}, "diff() got multiple values for argument 'variable'"),
    (diff, (SRC, "x"), {"wrt": "x"}, "diff() got an unexpected keyword argument 'wrt'"),
    (emit_python, (), {}, "emit_python() missing 1 required positional argument: 'source'"),
    (emit_python, (SRC, "f", True), {}, "emit_python() takes from 1 to 2 positional arguments but 3 were given"),
    (emit_python, (SRC, "f", True, 1), {}, "emit_python() takes from 1 to 2 positional arguments but 4 were given"),
    (emit_python, (SRC, "f"), {"function_name": "g"}, "emit_python() got multiple values for argument 'function_name'"),
    (emit_python, (SRC,), {"name": "g"}, "emit_python() got an unexpected keyword argument 'name'"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_too_many_positional_is_checked_before_keywords():
    with pytest.raises(TypeError) as info:
        simplify_expr(SRC, True, bogus=1)
    assert str(info.value) == "simplify_expr() takes 1 positional arguments but 2 were given"


def test_keywords_are_reported_in_call_order():
    with pytest.raises(TypeError) as info:
        diff(SRC, "x", **{"zzz": 1, "source": SRC})
    assert str(info.value) == "diff() got an unexpected keyword argument 'zzz'"
    with pytest.raises(TypeError) as info:
        diff(SRC, "x", **{"source": SRC, "zzz": 1})
    assert str(info.value) == "diff() got multiple values for argument 'source'"


def test_unusual_keyword_text_is_kept():
    with pytest.raises(TypeError) as info:
        simplify_expr(SRC, **{"ö\udc80": 1})
    assert str(info.value) == "simplify_expr() got an unexpected keyword argument 'ö\udc80'"


def test_all_arguments_by_keyword():
    assert emit_python(source=SRC, function_name="f", optimize=False).startswith("import math\n\ndef f(x):\n")
    assert diff(variable="x", source=SRC) == "1"
    assert simplify_expr(optimize=False, source=SRC) == "x + 1.5"


def test_defaults():
    assert emit_python(SRC) == emit_python(SRC, "_kernel") == emit_python(SRC, function_name="_kernel")
    assert "def _kernel(x):" in emit_python(SRC)
    assert "def f(x):" in emit_python(SRC, "f")
    assert "def f(x):" in emit_python(SRC, function_name="f")


# --- argument conversion ------------------------------------------------------------------


class Text(str):
    pass


class Unprintable:
    pass


CONVERSION_ERRORS = [
    (simplify_expr, (None,), {}, "argument 'source': 'None' is not an instance of 'str'"),
    (simplify_expr, (3,), {}, "argument 'source': 'int' object is not an instance of 'str'"),
    (simplify_expr, (b"|x: f64| x",), {}, "argument 'source': 'bytes' object is not an instance of 'str'"),
    (simplify_expr, (Unprintable(),), {}, "argument 'source': 'Unprintable' object is not an instance of 'str'"),
    (diff, (SRC, None), {}, "argument 'variable': 'None' is not an instance of 'str'"),
    (diff, (SRC, ["x"]), {}, "argument 'variable': 'list' object is not an instance of 'str'"),
    (emit_python, (SRC, None), {}, "argument 'function_name': 'None' is not an instance of 'str'"),
    (emit_python, (SRC, 7), {}, "argument 'function_name': 'int' object is not an instance of 'str'"),
    (simplify_expr, (SRC,), {"optimize": 1}, "argument 'optimize': 'int' object is not an instance of 'bool'"),
    (simplify_expr, (SRC,), {"optimize": 0}, "argument 'optimize': 'int' object is not an instance of 'bool'"),
    (simplify_expr, (SRC,), {"optimize": None}, "argument 'optimize': 'NoneType' object is not an instance of 'bool'"),
    (diff, (SRC, "x"), {"optimize": "yes"}, "argument 'optimize': 'str' object is not an instance of 'bool'"),
    (emit_python, (SRC,), {"optimize": 1.0}, "argument 'optimize': 'float' object is not an instance of 'bool'"),
    (emit_python, (SRC,), {"optimize": np.int64(1)},
     "argument 'optimize': 'int64' object is not an instance of 'bool'"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), CONVERSION_ERRORS)
def test_conversion_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_wrong_type_uses_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        simplify_expr(Outer.Inner())
    assert str(info.value) == (
        "argument 'source': 'test_wrong_type_uses_qualified_name.<locals>.Outer.Inner' "
        "object is not an instance of 'str'"
    )


def test_conversion_stops_at_first_failure_in_parameter_order():
    with pytest.raises(TypeError) as info:
        diff(1, 2, optimize=3)
    assert str(info.value) == "argument 'source': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        diff(SRC, 2, optimize=3)
    assert str(info.value) == "argument 'variable': 'int' object is not an instance of 'str'"


def test_argument_errors_come_before_compilation():
    # The source is bad too, but the binding error wins.
    with pytest.raises(TypeError):
        simplify_expr("garbage", optimize=1)


def test_str_subclass_is_accepted():
    assert simplify_expr(Text(SRC)) == "x + 1.5"
    assert diff(Text(SRC), Text("x")) == "1"
    assert "def g(x):" in emit_python(Text(SRC), Text("g"))


def test_lone_surrogate_raises_the_interpreters_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        simplify_expr("|x: f64| x\udc80")
    assert type(info.value) is UnicodeEncodeError
    with pytest.raises(UnicodeEncodeError):
        emit_python(SRC, "f\ud800")
    with pytest.raises(UnicodeEncodeError):
        diff(SRC, "\udfff")


def test_embedded_nul_is_part_of_the_text():
    with pytest.raises(MorvalenError) as info:
        simplify_expr("|x: f64| x\x00")
    assert str(info.value) == "parse failed: syntax error: lex error"


TUPLE = "|x: f64| (x, x)"
OPTIMIZED_TUPLE = "optimization failed: only single-output DAG is currently supported by optimize"
PLAIN_TUPLE = "expected a single output expression, got 2"


def optimize_seen(value) -> bool:
    """Whether the optimizer ran: it refuses a two-value result before the
    output count is checked."""
    with pytest.raises(MorvalenError) as info:
        simplify_expr(TUPLE, optimize=value)
    assert info.value.args[0] in (OPTIMIZED_TUPLE, PLAIN_TUPLE)
    return info.value.args[0] == OPTIMIZED_TUPLE


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_, np.bool_(True)])
def test_optimize_accepts_bool_and_numpy_bool(value):
    assert optimize_seen(value) is bool(value)


def _numpy_like(name: str, namespace: dict):
    return type(name, (), {"__module__": "numpy", **namespace})


def test_numpy_bool_goes_through_its_bool_method():
    calls = []

    def as_bool(self):
        calls.append(self)
        return True

    fake = _numpy_like("bool_", {"__bool__": as_bool})()
    assert optimize_seen(fake) is True
    assert calls == [fake]


def test_numpy_bool_without_bool_method():
    fake_type = _numpy_like("bool", {})
    with pytest.raises(TypeError) as info:
        simplify_expr(SRC, optimize=fake_type())
    assert str(info.value) == (
        f"argument 'optimize': object of type '{fake_type!s}' does not define a '__bool__' conversion"
    )


def test_numpy_bool_whose_bool_method_fails():
    def broken(self):
        raise ValueError("no truth here")

    with pytest.raises(ValueError, match="^no truth here$"):
        simplify_expr(SRC, optimize=_numpy_like("bool_", {"__bool__": broken})())


def test_type_error_from_a_conversion_keeps_its_cause():
    cause = KeyError("inner")

    def broken(self):
        raise TypeError("outer") from cause

    with pytest.raises(TypeError) as info:
        simplify_expr(SRC, optimize=_numpy_like("bool_", {"__bool__": broken})())
    assert str(info.value) == "argument 'optimize': outer"
    assert info.value.__cause__ is cause


def test_type_error_subclass_from_a_conversion_passes_unchanged():
    class Special(TypeError):
        pass

    def broken(self):
        raise Special("special")

    with pytest.raises(Special) as info:
        simplify_expr(SRC, optimize=_numpy_like("bool_", {"__bool__": broken})())
    assert str(info.value) == "special"


def test_other_numpy_types_are_refused():
    with pytest.raises(TypeError) as info:
        simplify_expr(SRC, optimize=_numpy_like("int8", {"__bool__": lambda self: True})())
    assert str(info.value) == "argument 'optimize': 'int8' object is not an instance of 'bool'"


def test_extension_is_a_stable_abi_module():
    assert _morvalen.__file__.endswith(".abi3.so")
    assert _morvalen.__name__ == "morvalen._morvalen"


def test_extensions_export_only_their_init_function():
    if shutil.which("nm") is None or sys.platform != "linux":
        pytest.skip("needs nm and an ELF platform")
    for module in Path(_morvalen.__file__).parent.glob("*.so"):
        listed = subprocess.run(["nm", "-D", "--defined-only", module], capture_output=True, text=True, check=True)
        exported = {line.split()[-1] for line in listed.stdout.splitlines() if line.strip()}
        assert exported == {"PyInit_" + module.name.split(".")[0]}, module.name
