"""Untrusted input: every string ends in a result, MorvalenError or TypeError;
very deep and very long programs work through all three functions."""

from __future__ import annotations

import random

import pytest

from morvalen import MorvalenError, diff, emit_python, simplify_expr
from program_gen import load_function, random_program

ALPHABET = list("|:,=#\n\t ()[]<>+-*/%!&@.^$;'\"\\_") + list("xyzabnije0123456789") + [
    "f64", "f32", "i32", "u8", "bool", "c64", "bf16", "if", "then", "else", "cast", "diff", "true", "pi",
    "exp(", "log(", "sqrt(", "**", "//", "&&", "||", "==", "<=", "2j", "1.5", "1e400", "99999999999999999999",
    "é", "größe", "\u00a0", "\u2028", "\u3000", "\ufeff", "😀", "\x00", "\r\n",
]


def _operations(source: str):
    yield lambda: simplify_expr(source)
    yield lambda: simplify_expr(source, optimize=True)
    yield lambda: emit_python(source)
    yield lambda: emit_python(source, "f", optimize=True)
    yield lambda: diff(source, "x")
    yield lambda: diff(source, "x", optimize=True)


def _ends_cleanly(source: str) -> int:
    """Runs every operation; returns how many succeeded."""
    successes = 0
    for operation in _operations(source):
        try:
            result = operation()
        except MorvalenError as error:
            assert len(error.args) == 1 and isinstance(error.args[0], str)
            assert error.args[0] != ""
        else:
            assert isinstance(result, str)
            successes += 1
    return successes


def _random_text(rng: random.Random) -> str:
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 40)))


def test_random_strings():
    rng = random.Random(2024)
    for _ in range(300):
        _ends_cleanly(_random_text(rng))


def test_random_strings_behind_a_header():
    rng = random.Random(99)
    successes = 0
    for _ in range(300):
        successes += _ends_cleanly("|x: f64, y: f64, n: i32, b: bool, z: c64| " + _random_text(rng))
    assert successes > 0


def test_mutated_programs():
    rng = random.Random(5)
    successes = 0
    for _ in range(200):
        text = list(random_program(rng, depth=3, builtins=True).source)
        for _ in range(rng.randint(1, 4)):
            position = rng.randrange(len(text) + 1)
            roll = rng.random()
            if roll < 0.4 and position < len(text):
                del text[position]
            elif roll < 0.8:
                text.insert(position, rng.choice(ALPHABET))
            elif position < len(text):
                text[position] = rng.choice(ALPHABET)
        successes += _ends_cleanly("".join(text))
    assert successes > 0


def test_non_string_arguments_raise_type_error():
    for value in [None, 1, 1.5, b"|x: f64| x", ["|x: f64| x"], object()]:
        with pytest.raises(TypeError):
            simplify_expr(value)
        with pytest.raises(TypeError):
            diff("|x: f64| x", value)
        with pytest.raises(TypeError):
            emit_python("|x: f64| x", value)


DEPTH = 100_000


@pytest.mark.slow
def test_deeply_nested_parentheses():
    source = "|x: f64| " + "(" * DEPTH + "x + 1.5" + ")" * DEPTH
    assert simplify_expr(source) == "x + 1.5"
    assert load_function(emit_python(source))(1.0) == 2.5
    assert diff(source, "x") == "1"


@pytest.mark.slow
def test_deeply_nested_parentheses_unbalanced():
    with pytest.raises(MorvalenError) as info:
        simplify_expr("|x: f64| " + "(" * DEPTH + "x")
    assert info.value.args[0].startswith("parse failed: ")


@pytest.mark.slow
def test_long_chain_of_assignments():
    lines = ["|x: f64|", "a0 = x"]
    lines += [f"a{i} = a{i - 1} + 1.5" for i in range(1, DEPTH)]
    lines.append(f"a{DEPTH - 1}")
    source = "\n".join(lines)
    text = simplify_expr(source)
    assert text == "x" + " + 1.5" * (DEPTH - 1)
    code = emit_python(source)
    lines = code.splitlines()
    assert lines[:4] == ["import math", "", "def _kernel(x):", "    t0 = x"]
    assert lines[-1].startswith("    return t") and len(lines) > 2 * DEPTH
    assert diff(source, "x") == "1"


def test_chain_of_assignments_evaluates():
    # Compiling the 100,000-line function takes CPython itself many seconds,
    # so the emitted code is executed on a shorter chain.
    count = 5_000
    lines = ["|x: f64|", "a0 = x"] + [f"a{i} = a{i - 1} * 0.5 + 1.5" for i in range(1, count)] + [f"a{count - 1}"]
    expected = 0.25
    for _ in range(1, count):
        expected = expected * 0.5 + 1.5
    assert load_function(emit_python("\n".join(lines)))(0.25) == expected


@pytest.mark.slow
def test_long_chain_of_negations():
    source = "|x: f64| " + "-" * 10_001 + "x"
    text = simplify_expr(source)
    assert text == "-(" * 10_000 + "-x" + ")" * 10_000
    assert load_function(emit_python(source))(2.0) == -2.0
    assert diff(source, "x") in {"-1"}
