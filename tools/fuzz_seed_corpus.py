#!/usr/bin/env python3
"""Writes the seed corpus of the raw-text fuzz target from the test suites.

Every string literal in tests/cpp and tests/python that is a program (its text
starts with a `|...|` header) becomes one corpus file: a selector byte (the
operation and `optimize`, as fuzz/request.cpp decodes it) followed by the
program's UTF-8 bytes. The selector cycles over the six requests in the order
the programs are found, so each operation sees a share of every suite. Files
are named by a hash of their content, so rerunning the tool after the tests
change only adds the new programs; stale files are removed.

    tools/fuzz_seed_corpus.py [--max-bytes N]
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "fuzz" / "corpus" / "api"
PREFIX = "seed-"

HEADER = re.compile(r"\s*\|[^|\n]*\|")
SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a",
                  "b": "\b", "f": "\f", "v": "\v", "?": "?"}


def decode_cpp_escapes(body: str) -> str:
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        k = body[i + 1]
        if k == "x":
            m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        elif k in "uU":
            width = 4 if k == "u" else 8
            out.append(chr(int(body[i + 2:i + 2 + width], 16)))
            i += 2 + width
        elif k in "01234567" and re.match(r"[0-7]{1,3}", body[i + 1:]).group(0) != "0":
            digits = re.match(r"[0-7]{1,3}", body[i + 1:]).group(0)
            out.append(chr(int(digits, 8)))
            i += 1 + len(digits)
        else:
            out.append(SIMPLE_ESCAPES[k])
            i += 2
    return "".join(out)


def cpp_string_literals(text: str) -> list[str]:
    """String literals of a C++ file, adjacent literals joined, comments and
    character literals skipped."""
    literals: list[str] = []
    pending: list[str] | None = None  # pieces of a run of adjacent literals
    i = 0
    n = len(text)
    while i < n:
        if text.startswith("//", i):
            i = text.find("\n", i)
            i = n if i < 0 else i
            continue
        if text.startswith("/*", i):
            i = text.find("*/", i) + 2
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^(]*)\(', text[i:i + 40])
        if raw:
            start = i + raw.end()
            end = text.find(")" + raw.group(1) + '"', start)
            piece = text[start:end]
            i = end + len(raw.group(1)) + 2
        elif text[i] == '"' or re.match(r'(?:u8|u|U|L)"', text[i:i + 3]):
            start = text.find('"', i) + 1
            j = start
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            piece = decode_cpp_escapes(text[start:j])
            i = j + 1
        elif text[i] == "'":
            j = i + 1
            while text[j] != "'":
                j += 2 if text[j] == "\\" else 1
            i = j + 1
            continue
        else:
            if not text[i].isspace() and pending is not None:
                literals.append("".join(pending))
                pending = None
            i += 1
            continue
        pending = [piece] if pending is None else pending + [piece]
    if pending is not None:
        literals.append("".join(pending))
    return literals


def python_string_literals(text: str) -> list[str]:
    return [node.value for node in ast.walk(ast.parse(text))
            if isinstance(node, ast.Constant) and isinstance(node.value, str)]


def programs() -> list[str]:
    found: list[str] = []
    for path in sorted((ROOT / "tests" / "cpp").rglob("*.cpp")) + sorted((ROOT / "tests" / "cpp").rglob("*.h")):
        found += cpp_string_literals(path.read_text(encoding="utf-8"))
    for path in sorted((ROOT / "tests" / "python").rglob("*.py")):
        found += python_string_literals(path.read_text(encoding="utf-8"))
    seen: set[str] = set()
    unique = []
    for text in found:
        if HEADER.match(text) and text not in seen:
            seen.add(text)
            unique.append(text)
    return unique


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-bytes", type=int, default=400, help="skip programs longer than this")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    wanted: dict[str, bytes] = {}
    index = 0
    for text in programs():
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate: no caller can pass it
            continue
        if len(data) > args.max_bytes:
            continue
        selector = bytes([((index % 3) << 1) | ((index // 3) % 2)])
        index += 1
        content = selector + data
        wanted[PREFIX + hashlib.sha1(content).hexdigest()[:16]] = content
    for path in OUT.glob(PREFIX + "*"):
        if path.name not in wanted:
            path.unlink()
    for name, content in wanted.items():
        (OUT / name).write_bytes(content)
    print(f"{len(wanted)} seed files in {OUT.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
