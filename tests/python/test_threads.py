"""Calls from several Python threads give the same results as sequential calls."""

from __future__ import annotations

import random
import threading
from concurrent.futures import ThreadPoolExecutor

from morvalen import MorvalenError, _morvalen, diff, emit_python, simplify_expr
from program_gen import random_program


def _outcome(call):
    try:
        return ("ok", call())
    except MorvalenError as error:
        return ("error", error.args)


def _calls():
    rng = random.Random(7)
    calls = []
    for i in range(24):
        source = random_program(rng, depth=3, builtins=i % 2 == 0).source
        optimize = i % 3 == 0
        calls.append(lambda s=source, o=optimize: simplify_expr(s, optimize=o))
        calls.append(lambda s=source, o=optimize: emit_python(s, "f", optimize=o))
        calls.append(lambda s=source, o=optimize: diff(s, "x", optimize=o))
    calls.append(lambda: simplify_expr("|x: f64| y"))
    calls.append(lambda: diff("|x: f64| x", "nope"))
    calls.append(lambda: emit_python("|x: f64| x", "class"))
    return calls


def test_threads_match_sequential_results():
    calls = _calls()
    expected = [_outcome(call) for call in calls]
    assert any(kind == "error" for kind, _ in expected)
    rounds = 3
    with ThreadPoolExecutor(max_workers=6) as pool:
        futures = [pool.submit(_outcome, call) for _ in range(rounds) for call in calls]
        results = [future.result(timeout=600) for future in futures]
    assert results == expected * rounds


def test_exception_type_is_the_same_from_every_thread():
    seen = []
    barrier = threading.Barrier(4)

    def worker():
        barrier.wait()
        try:
            simplify_expr("")
        except MorvalenError as error:
            seen.append(type(error))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert seen == [_morvalen.MorvalenError] * 4
