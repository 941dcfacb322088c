"""ASCII sections read with some fields only, whole and in chunks, through the core: the kept fields of a whole
load, with its errors, except that a bad value in a field not kept is no error."""

import subprocess

import numpy as np
import pytest
from numpy.lib import recfunctions

import dev_build
from pcd_writer import ascii_token, binary_section, fields, header, random_values, record_dtype

TABLE = fields("a:U1 x y:F8 n:F4x3 z e:F4x0 d:F8 d:I2 w:U2x2")
POINTS = 40
VALUES = random_values(TABLE, POINTS, seed=11)
STARTS = np.cumsum([0] + [f.count for f in TABLE])  # each field's first token in a point
PER_POINT = int(STARTS[-1])
DEFAULT_PIECE = 4 << 20


def token(point: int, field: int, element: int = 0) -> int:
    return point * PER_POINT + int(STARTS[field]) + element


# What each text does to the tokens of the values: (index, replacement) pairs, or a cut.
MUTATIONS = {
    "clean": [],
    "bad-a": [(token(17, 0), "junk")],
    "bad-y": [(token(5, 2), "1e")],
    "bad-first-d": [(token(17, 6), "--1")],
    "not-whole-w-element-1": [(token(23, 8, 1), "1.5")],
    "ended-early": "cut",
    "tokens-past-the-cloud": [(POINTS * PER_POINT, "junk"), (POINTS * PER_POINT + 1, "junk")],
}


def text(mutation: str) -> bytes:
    tokens = [ascii_token(v) for p in range(POINTS) for column in VALUES for v in np.atleast_1d(column[p])]
    if MUTATIONS[mutation] == "cut":
        tokens = tokens[:-2]
    else:
        for index, replacement in MUTATIONS[mutation]:
            tokens[index:index + 1] = [replacement]
    lines = [" ".join(tokens[start:start + PER_POINT]) for start in range(0, len(tokens), PER_POINT)]
    return ("\n".join(lines) + "\n").encode()


def field_of(index: int) -> int:
    return int(np.searchsorted(STARTS, index % PER_POINT, side="right")) - 1


def fault(mutation: str) -> tuple[int, int] | None:
    """The point and field of the first bad token, or the point where the text ends, field None."""
    if MUTATIONS[mutation] == "cut":
        return (POINTS * PER_POINT - 2) // PER_POINT, None
    inside = [index for index, _ in MUTATIONS[mutation] if index < POINTS * PER_POINT]
    return (inside[0] // PER_POINT, field_of(inside[0])) if inside else None


def kept(names: list[str]) -> list[int]:
    """x, y and z, and the last field of each name; without names, every field."""
    if not names:
        return list(range(len(TABLE)))
    last = {f.name: i for i, f in enumerate(TABLE)}
    return sorted({last["x"], last["y"], last["z"], *(last[name] for name in names)})


def kept_records(names: list[str]) -> bytes:
    records = np.frombuffer(binary_section(TABLE, VALUES), record_dtype(TABLE))
    return recfunctions.repack_fields(records[[f"f{i}" for i in kept(names)]]).tobytes()


@pytest.fixture(scope="module")
def read(tmp_path_factory):
    program = dev_build.target("ascii_selection_check")
    folder = tmp_path_factory.mktemp("selection")
    for mutation in MUTATIONS:
        (folder / f"{mutation}.pcd").write_bytes(header(TABLE, POINTS, "ascii") + text(mutation))

    def run(mutation: str, names: list[str], piece: int = DEFAULT_PIECE, threads: int = 1, chunk: int = 0):
        command = [program, folder / f"{mutation}.pcd", str(piece), str(threads), str(chunk), *names]
        return subprocess.run(command, capture_output=True, text=True, check=True).stdout.splitlines()

    return run


def expected_whole(read, mutation: str, names: list[str]) -> str:
    """The whole load's error, unless it is a bad value in a field that is not kept."""
    (whole,) = read(mutation, [])
    at = fault(mutation)
    if at is None or (at[1] is not None and at[1] not in kept(names)):
        return "ok " + kept_records(names).hex()
    assert whole.startswith("error ")
    return whole


# Pieces of a few bytes cut tokens; three threads take them in every order.
MODES = [(DEFAULT_PIECE, 1), (3, 1), (16, 3), (3, 3)]
SELECTIONS = [[], ["a"], ["d"], ["n", "w"], ["e"], ["x"]]


@pytest.mark.parametrize("names", SELECTIONS, ids="-".join)
@pytest.mark.parametrize("mutation", MUTATIONS)
def test_selection_reads_the_kept_fields_of_a_whole_load(read, mutation, names):
    expected = expected_whole(read, mutation, names)
    for piece, threads in MODES:
        assert read(mutation, names, piece, threads) == [expected], (piece, threads)


@pytest.mark.parametrize("chunk", [1, 7, POINTS - 1, POINTS, POINTS + 1])
@pytest.mark.parametrize("mutation", ["clean", "bad-a", "bad-y", "not-whole-w-element-1", "ended-early"])
def test_chunks_are_the_whole_read_cut_or_its_error_at_its_chunk(read, mutation, chunk):
    names = ["w"]
    expected = expected_whole(read, mutation, names)
    records = kept_records(names)
    step = len(records) // POINTS

    def chunks_before(point: int) -> list[str]:
        starts = range(0, point, chunk)
        return [f"ok {records[start * step:min(start + chunk, point) * step].hex()}" for start in starts]

    if expected.startswith("ok"):
        lines = chunks_before(POINTS) + ["ok ", "end"]
    else:
        lines = chunks_before(fault(mutation)[0] // chunk * chunk) + [expected]
    for piece in (DEFAULT_PIECE, 3):
        assert read(mutation, names, piece, 1, chunk) == lines, piece
