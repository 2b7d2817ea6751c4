"""The ``morvalen`` command line: the three operations of the module on a
program given as an argument, read from a file, or read from standard input.

Exit status: 0 on success, 1 when the program does not compile (the message
is printed on standard error), 2 for usage errors and unreadable input.
"""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn, Sequence, TextIO

from . import (
    MorvalenError,
    __version__,
    _morvalen_ext,
    diff,
    diff_program,
    emit_numpy,
    emit_python,
    simplify_expr,
    simplify_program,
)

_DESCRIPTION = """\
Compile a program of the morvalen language and print the result.

A program is one function: a header of typed parameters between two bars,
optional lines `name = expr`, and the result expression, e.g.

    |x: f64, n: i32|
    y = x * 2.0
    y ** n

The program is given as an argument, read from a file with -f FILE, or read
from standard input when the argument is `-`.
"""

_EPILOG = """\
examples:
  morvalen simplify '|x: f32| x * 2 + 1'
  morvalen simplify --optimize '|x: f64| log(sigmoid(x))'
  morvalen diff x '|x: f64| x ** 3'
  morvalen diff --program x -f program.mv | morvalen diff --program x -
  morvalen emit --name area '|r: f64| pi * r ** 2'
  morvalen emit --numpy --wrt x,y '|x: f64, y: f64| sin(x * y) + x * x'
  echo '|a: f64, b: f64| a * b' | morvalen simplify -
  morvalen emit -f program.mv

exit status: 0 on success, 1 when the program does not compile (the message
goes to standard error), 2 for usage errors or unreadable input.
"""


def _add_source_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "program",
        nargs="?",
        help="the program text, or `-` to read it from standard input",
    )
    parser.add_argument(
        "-f",
        "--file",
        metavar="FILE",
        help="read the program from FILE (UTF-8) instead",
    )
    parser.add_argument(
        "--optimize",
        action="store_true",
        help="run the optimizer (constant folding and equality saturation) first",
    )


def _add_program_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--program",
        dest="as_program",
        action="store_true",
        help="print a program (header, a line per shared subexpression, result) "
        "that reads back into the same expression, instead of one line",
    )


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="morvalen",
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("-V", "--version", action="version", version=f"morvalen {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    simplify = commands.add_parser(
        "simplify",
        help="print the folded (and optionally optimized) result expression",
        description="Print the program's result expression, constants folded.",
    )
    _add_program_argument(simplify)
    _add_source_arguments(simplify)
    simplify.set_defaults(command_parser=simplify)

    derive = commands.add_parser(
        "diff",
        help="print the derivative with respect to one floating parameter",
        description="Print the derivative of the program's result with respect to VARIABLE, "
        "a floating parameter of the program.",
    )
    derive.add_argument("variable", metavar="VARIABLE", help="the parameter to differentiate by")
    _add_program_argument(derive)
    _add_source_arguments(derive)
    derive.set_defaults(command_parser=derive)

    emit = commands.add_parser(
        "emit",
        help="print a Python function that evaluates the program",
        description="Print the source of a Python function that evaluates the program.",
    )
    emit.add_argument(
        "--name",
        default="_kernel",
        help="name of the emitted function (default: %(default)s)",
    )
    emit.add_argument(
        "--numpy",
        action="store_true",
        help="emit a vectorised numpy function computing in the declared dtypes",
    )
    emit.add_argument(
        "--wrt",
        metavar="X,Y",
        help="return the value and the derivatives by these floating parameters",
    )
    _add_source_arguments(emit)
    emit.set_defaults(command_parser=emit)
    return parser


def _utf8_fault(text: str) -> str | None:
    """Why ``text`` is not UTF-8 text, or None when it is.

    The interpreter decodes command-line arguments (and, in some locales,
    standard input) with the surrogateescape handler, so bytes that are not
    UTF-8 arrive as lone surrogates. Encoding them back recovers the bytes, and
    decoding those gives the decoder's own account of the first bad byte.
    """
    try:
        text.encode("utf-8")
        return None
    except UnicodeEncodeError as encode_error:
        try:
            text.encode("utf-8", "surrogateescape").decode("utf-8")
        except UnicodeError as error:
            return str(error)
        return str(encode_error)


def _unreadable(parser: argparse.ArgumentParser, what: str, reason: object) -> NoReturn:
    parser.exit(2, f"morvalen: cannot read {what}: {reason}\n")


def _require_utf8(parser: argparse.ArgumentParser, what: str, text: str) -> str:
    fault = _utf8_fault(text)
    if fault is not None:
        _unreadable(parser, what, fault)
    return text


def _read_source(parser: argparse.ArgumentParser, args: argparse.Namespace, stdin: TextIO) -> str:
    if args.file is not None and args.program is not None:
        parser.error("give the program either as an argument or with -f FILE, not both")
    if args.file is not None:
        try:
            with open(args.file, encoding="utf-8") as handle:
                return handle.read()
        except (OSError, UnicodeDecodeError) as error:
            _unreadable(parser, args.file, error)
    if args.program is None:
        parser.error("no program given (pass it as an argument, `-` for standard input, or -f FILE)")
    if args.program == "-":
        try:
            return _require_utf8(parser, "standard input", stdin.read())
        except UnicodeDecodeError as error:
            _unreadable(parser, "standard input", error)
    return _require_utf8(parser, "the program argument", args.program)


def _wrt_names(parser: argparse.ArgumentParser, text: str | None) -> list[str] | None:
    if text is None:
        return None
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        parser.error(f"--wrt expects comma-separated parameter names, got {text!r}")
    return names


def main(
    argv: Sequence[str] | None = None,
    *,
    stdin: TextIO | None = None,
    stdout: TextIO | None = None,
    stderr: TextIO | None = None,
) -> int:
    """Runs the command line; returns the exit status."""
    stdin = sys.stdin if stdin is None else stdin
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    parser = _build_parser()
    args = parser.parse_args(argv)
    # Usage errors past this point show the subcommand's own usage.
    parser = args.command_parser
    if args.command == "diff":
        _require_utf8(parser, "argument VARIABLE", args.variable)
    if args.command == "emit":
        _require_utf8(parser, "argument --name", args.name)
    source = _read_source(parser, args, stdin)
    try:
        if args.command == "simplify":
            simplify = simplify_program if args.as_program else simplify_expr
            result = simplify(source, optimize=args.optimize) + "\n"
        elif args.command == "diff":
            derive = diff_program if args.as_program else diff
            result = derive(source, args.variable, optimize=args.optimize) + "\n"
        else:
            wrt = _wrt_names(parser, args.wrt)
            if args.numpy:
                result = emit_numpy(source, args.name, optimize=args.optimize, wrt=wrt)
            elif wrt is None:
                result = emit_python(source, args.name, optimize=args.optimize)
            else:
                result = _morvalen_ext.emit_python(source, args.name, optimize=args.optimize, wrt=wrt)
    except MorvalenError as error:
        print(error, file=stderr)
        return 1
    stdout.write(result)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
