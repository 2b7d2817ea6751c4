"""The command line: `python -m morvalen`, the `morvalen` script and main()."""

from __future__ import annotations

import io
import os
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from morvalen import diff, diff_program, emit_numpy, emit_python, simplify_expr, simplify_program
from morvalen._morvalen_ext import emit_python as emit_python_wrt
from morvalen.cli import main

PROGRAM = "|x: f64, y: f64| x * y + 2 * 3"


def run_main(*argv: str, stdin: str = ""):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), stdin=io.StringIO(stdin), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def test_simplify_argument():
    assert run_main("simplify", PROGRAM) == (0, simplify_expr(PROGRAM) + "\n", "")


def test_simplify_optimize():
    source = "|x: f64| x * 1.0 + 0.0"
    assert run_main("simplify", "--optimize", source) == (0, simplify_expr(source, optimize=True) + "\n", "")


def test_diff_argument():
    assert run_main("diff", "x", PROGRAM) == (0, diff(PROGRAM, "x") + "\n", "")
    assert run_main("diff", "--optimize", "y", PROGRAM) == (0, diff(PROGRAM, "y", optimize=True) + "\n", "")


def test_program_flag():
    assert run_main("simplify", "--program", "--optimize", PROGRAM) == (
        0,
        simplify_program(PROGRAM, optimize=True) + "\n",
        "",
    )
    assert run_main("diff", "--program", "x", PROGRAM) == (0, diff_program(PROGRAM, "x") + "\n", "")
    assert run_main("diff", "--program", "q", PROGRAM) == (1, "", "unknown differentiation variable `q`\n")


def test_emit_default_and_named():
    assert run_main("emit", PROGRAM) == (0, emit_python(PROGRAM), "")
    assert run_main("emit", "--name", "area", PROGRAM) == (0, emit_python(PROGRAM, "area"), "")
    code, out, _ = run_main("emit", "--name", "f", "--optimize", PROGRAM)
    assert (code, out) == (0, emit_python(PROGRAM, "f", optimize=True))


def test_emit_numpy_and_gradients():
    assert run_main("emit", "--numpy", PROGRAM) == (0, emit_numpy(PROGRAM), "")
    code, out, _ = run_main("emit", "--numpy", "--wrt", "x, y", "--optimize", PROGRAM)
    assert (code, out) == (0, emit_numpy(PROGRAM, optimize=True, wrt=["x", "y"]))
    assert run_main("emit", "--wrt", "y", PROGRAM) == (0, emit_python_wrt(PROGRAM, wrt=["y"]), "")
    assert run_main("emit", "--wrt", "q", PROGRAM) == (1, "", "unknown differentiation variable `q`\n")


def test_program_from_stdin():
    assert run_main("simplify", "-", stdin=PROGRAM + "\n") == (0, simplify_expr(PROGRAM + "\n") + "\n", "")


def test_program_from_file(tmp_path: Path):
    path = tmp_path / "program.mv"
    path.write_text("|x: f64|\n# a comment\ny = x * x  # square\ny + 1.5\n", encoding="utf-8")
    code, out, err = run_main("simplify", "-f", str(path))
    assert (code, out, err) == (0, "x * x + 1.5\n", "")
    assert run_main("diff", "x", "--file", str(path))[1] == diff(path.read_text(), "x") + "\n"


def test_compile_error_goes_to_stderr_with_status_1():
    assert run_main("simplify", "|x: f64| y") == (1, "", "lowering failed: undefined variable `y`\n")
    assert run_main("diff", "q", PROGRAM) == (1, "", "unknown differentiation variable `q`\n")
    code, out, err = run_main("emit", "--name", "class", PROGRAM)
    assert (code, out) == (1, "")
    assert err.startswith("invalid Python function name `class`")


def test_usage_errors_exit_2(tmp_path: Path, capsys):
    for argv in (["simplify"], [], ["simplify", "-f", str(tmp_path / "missing.mv")],
                 ["simplify", "-f", str(tmp_path / "x"), PROGRAM], ["frobnicate", PROGRAM],
                 ["emit", "--wrt", "x,,y", PROGRAM]):
        with pytest.raises(SystemExit) as info:
            main(argv)
        assert info.value.code == 2, argv
    capsys.readouterr()


@pytest.mark.parametrize(("argv", "status", "out", "err"), [
    (["-V"], 0, "morvalen 0.0.2\n", ""),
    (["diff", "x"], 2, "", "usage: morvalen diff [-h] [--program] [-f FILE] [--optimize]\n                     VARIABLE [program]\nmorvalen diff: "
     "error: no program given (pass it as an argument, `-` for standard input, or -f FILE)\n"),
])
def test_short_version_flag_and_subcommand_usage(argv, status, out, err, capsys):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert (info.value.code, *capsys.readouterr()) == (status, out, err)


def test_help_documents_the_commands(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--help"])
    assert info.value.code == 0
    text = capsys.readouterr().out
    for word in ("simplify", "diff", "emit", "-f FILE", "standard input", "exit status"):
        assert word in text
    for command, words in (("emit", ["--name", "--optimize"]), ("diff", ["VARIABLE", "--optimize"])):
        with pytest.raises(SystemExit):
            main([command, "--help"])
        sub = capsys.readouterr().out
        for word in words:
            assert word in sub


def _subprocess_env():
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    return env


def test_python_dash_m():
    result = subprocess.run(
        [sys.executable, "-m", "morvalen", "simplify", "|x: f32| x * 2 + 1"],
        capture_output=True, text=True, env=_subprocess_env(), timeout=60, check=False,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, simplify_expr("|x: f32| x * 2 + 1") + "\n", "")


def test_importing_the_main_module_does_not_run_the_command_line():
    # run_module names the module `morvalen.__main__`, not `__main__`.
    assert runpy.run_module("morvalen.__main__")["main"] is main


NOT_UTF8 = b"|x: f64| x # caf\xe9"
BAD_END = "'utf-8' codec can't decode byte 0xe9 in position 16: unexpected end of data"


@pytest.mark.parametrize(("argv", "stdin", "io_encoding", "message"), [
    # Standard input decoded strictly, and with surrogateescape as in the C locale.
    (["simplify", "-"], NOT_UTF8, "utf-8:strict", f"standard input: {BAD_END}"),
    (["simplify", "-"], NOT_UTF8, "utf-8:surrogateescape", f"standard input: {BAD_END}"),
    (["simplify", NOT_UTF8], b"", "utf-8", f"the program argument: {BAD_END}"),
    (["diff", b"\xff", "-"], b"|x: f64| x", "utf-8",
     "argument VARIABLE: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
])
def test_bytes_that_are_not_utf8_are_a_usage_error(argv, stdin, io_encoding, message):
    env = {**_subprocess_env(), "PYTHONIOENCODING": io_encoding}
    result = subprocess.run([sys.executable, "-m", "morvalen", *argv], input=stdin, env=env,
                            capture_output=True, timeout=60, check=False)
    assert (result.returncode, result.stdout, result.stderr) == (2, b"", f"morvalen: cannot read {message}\n".encode())


def test_python_dash_m_stdin_and_failure():
    result = subprocess.run(
        [sys.executable, "-m", "morvalen", "emit", "--name", "k", "-"],
        input=PROGRAM, capture_output=True, text=True, env=_subprocess_env(), timeout=60, check=False,
    )
    assert (result.returncode, result.stdout) == (0, emit_python(PROGRAM, "k"))
    result = subprocess.run(
        [sys.executable, "-m", "morvalen", "simplify", "|x: f64| x +"],
        capture_output=True, text=True, env=_subprocess_env(), timeout=60, check=False,
    )
    assert (result.returncode, result.stdout, result.stderr) == (1, "", "parse failed: syntax error: syntax error\n")


def test_console_script():
    script = shutil.which("morvalen", path=str(Path(sys.executable).parent)) or shutil.which("morvalen")
    if script is None:
        pytest.skip("the morvalen console script is not on PATH (package not installed with scripts)")
    result = subprocess.run(
        [script, "diff", "x", "|x: f64| x * x"], capture_output=True, text=True, env=_subprocess_env(),
        timeout=60, check=False,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, diff("|x: f64| x * x", "x") + "\n", "")
