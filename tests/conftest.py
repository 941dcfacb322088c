"""Shared fixtures: a factory that writes PCD content to a temporary file and loads it."""

from pathlib import Path

import pytest

import tessarel
from pcd_writer import write

DATA = Path(__file__).parent / "data"


@pytest.fixture
def pcd_file(tmp_path):
    """Writes bytes (or text) to a fresh file and returns its path as str."""
    counter = iter(range(1_000_000))
    return lambda content: write(tmp_path / f"cloud{next(counter)}.pcd", content)


@pytest.fixture
def load(pcd_file):
    """Writes bytes (or text) to a file and loads it."""
    return lambda content: tessarel.load_pcd(pcd_file(content))
