"""What the source distribution holds."""

import shutil
import subprocess
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_sdist_holds_every_file_a_build_needs(tmp_path: Path, monkeypatch):
    backend = pytest.importorskip("scikit_build_core.build")
    git = shutil.which("git")
    listed = git and subprocess.run([git, "ls-files", "-z"], cwd=ROOT, capture_output=True, check=False)
    if not listed or listed.returncode != 0 or not (ROOT / "pyproject.toml").is_file():
        pytest.skip("needs the source tree as a git checkout")
    needed = {path for path in listed.stdout.decode().split("\0")
              if path.startswith(("src/", "python/", "cmake/")) or Path(path).name == "CMakeLists.txt"
              or path in ("pyproject.toml", "README.md")}
    monkeypatch.chdir(ROOT)  # The backend only packs files for an sdist: nothing is compiled.
    with tarfile.open(tmp_path / backend.build_sdist(str(tmp_path))) as sdist:
        packed = {name.partition("/")[2] for name in sdist.getnames()}
    assert sorted(needed - packed) == []
