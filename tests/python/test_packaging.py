"""The distributions: what the source distribution holds and what the
extension modules export."""

from __future__ import annotations

import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import morvalen

ROOT = Path(__file__).resolve().parents[2]


def _tracked_files() -> list[str]:
    git = shutil.which("git")
    if git is None or not (ROOT / "pyproject.toml").is_file():
        pytest.skip("needs git and the source tree")
    listed = subprocess.run([git, "ls-files", "-z"], cwd=ROOT, capture_output=True, check=False)
    if listed.returncode != 0:
        pytest.skip("the source tree is not a git checkout")
    return [name for name in listed.stdout.decode().split("\0") if name]


def _needed_to_build(path: str) -> bool:
    return (path.startswith(("src/", "python/", "cmake/")) or path in ("pyproject.toml", "README.md")
            or Path(path).name == "CMakeLists.txt")


def test_sdist_holds_every_file_a_build_needs(tmp_path: Path):
    pytest.importorskip("scikit_build_core.build")
    needed = {path for path in _tracked_files() if _needed_to_build(path)}
    # The backend only packs files here; nothing is configured or compiled.
    script = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    built = subprocess.run([sys.executable, "-c", script, str(tmp_path)],
                           cwd=ROOT, capture_output=True, text=True, timeout=120, check=True)
    with tarfile.open(tmp_path / built.stdout.split()[-1]) as sdist:
        packed = {name.partition("/")[2] for name in sdist.getnames()}
    assert sorted(needed - packed) == []


def test_extensions_export_only_their_init_function():
    nm = shutil.which("nm")
    if nm is None or sys.platform != "linux":
        pytest.skip("needs nm and an ELF platform")
    modules = sorted(Path(morvalen.__file__).parent.glob("*.so"))
    assert modules
    for module in modules:
        listed = subprocess.run([nm, "-D", "--defined-only", str(module)],
                                capture_output=True, text=True, check=True)
        exported = {line.split()[-1] for line in listed.stdout.splitlines() if line.strip()}
        assert exported == {"PyInit_" + module.name.split(".")[0]}, module.name
