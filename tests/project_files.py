"""The project's own tree, for the tests that build, install or read it whole."""

import shutil
import subprocess
from pathlib import Path

ROOT = Path(__file__).parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.pcd"))


def run(*command, timeout: float = 900, **options) -> subprocess.CompletedProcess:
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **options)


def source_copy(tmp_path: Path) -> Path:
    """The project's own files, without what setup and builds left in the tree."""
    copy = tmp_path / "source"
    leftovers = shutil.ignore_patterns(".git", ".venv*", ".deps", "build", "dist", ".cache", "*cache__", "*.egg-info")
    shutil.copytree(ROOT, copy, ignore=leftovers)
    return copy
