"""What the source distribution holds."""

from __future__ import annotations

import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SDIST = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"


def test_sdist_holds_every_file_a_build_needs(tmp_path: Path):
    pytest.importorskip("scikit_build_core.build")
    git = shutil.which("git")
    listed = git and subprocess.run([git, "ls-files", "-z"], cwd=ROOT, capture_output=True, check=False)
    if not listed or listed.returncode != 0 or not (ROOT / "pyproject.toml").is_file():
        pytest.skip("needs git and the source tree as a git checkout")
    needed = {path for path in listed.stdout.decode().split("\0")
              if path.startswith(("src/", "python/", "cmake/")) or Path(path).name == "CMakeLists.txt"
              or path in ("pyproject.toml", "README.md")}
    # The backend only packs files for an sdist; nothing is configured or compiled.
    built = subprocess.run([sys.executable, "-c", SDIST, str(tmp_path)],
                           cwd=ROOT, capture_output=True, text=True, timeout=120, check=True)
    with tarfile.open(tmp_path / built.stdout.split()[-1]) as sdist:
        packed = {name.partition("/")[2] for name in sdist.getnames()}
    assert sorted(needed - packed) == []
