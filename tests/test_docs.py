"""The README's samples and the example scripts, run as users run them."""

import doctest
import subprocess
import sys

import matplotlib.image
import numpy as np
import pytest

import tessarel
from pcd_writer import ENCODINGS, fields, pcd_bytes, random_values, write
from project_files import EXAMPLES, ROOT


def test_readme_samples(monkeypatch):
    monkeypatch.chdir(ROOT)  # the samples name files under examples/
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testfile(str(ROOT / "README.md"), module_relative=False, optionflags=flags)
    assert result.attempted >= 10
    assert result.failed == 0


def run_example(*args: str) -> str:
    done = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_summary_reports_every_file():
    output = run_example("examples/summary.py", *(str(e) for e in EXAMPLES))
    for example in EXAMPLES:
        points, fields = tessarel.load_pcd(str(example))
        assert f"{example}: {len(points)} points" in output
        for name, array in fields.items():
            assert f"  {name}: {array.dtype} {array.shape}" in output


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_top_view_writes_a_picture(tmp_path, example):
    out = tmp_path / "view.png"
    run_example("examples/top_view.py", str(example), str(out))
    image = matplotlib.image.imread(out)
    # Equal axis scales: a flat cloud gives a flat picture.
    assert max(image.shape[:2]) > 400 and min(image.shape[:2]) > 100
    # Coloured points, not an empty plot: many distinct colours.
    assert len(np.unique(image.reshape(-1, image.shape[2]), axis=0)) > 50


@pytest.mark.parametrize("spec", ["rgb:U4", "rgb:F4", "rgba:U4"])
def test_top_view_shows_packed_colours_as_they_are(tmp_path, spec):
    # Blobs of red, green and yellow points side by side; the packed bytes are B, G, R, A. With
    # red and blue swapped, the picture would show blue and cyan instead.
    expected = {(1.0, 0.0, 0.0): 0xFFFF0000, (0.0, 1.0, 0.0): 0xFF00FF00, (1.0, 1.0, 0.0): 0xFFFFFF00}
    rng = np.random.default_rng(5)
    blob = 400
    x = (np.repeat(np.arange(3), blob) + rng.random(3 * blob)).astype(np.float32)
    y, z = rng.random((2, 3 * blob), dtype=np.float32)
    packed = np.repeat(np.array(list(expected.values()), np.uint32), blob)
    table = fields(f"x y z {spec}")
    colours = packed.view(np.float32) if spec.endswith("F4") else packed
    path = write(tmp_path / "colours.pcd", pcd_bytes(table, [x, y, z, colours]))
    out = tmp_path / "view.png"
    run_example("examples/top_view.py", path, str(out))
    pixels = matplotlib.image.imread(out)[..., :3]
    for colour in expected:
        assert np.all(np.abs(pixels - colour) < 0.1, axis=-1).any(), colour


@pytest.mark.parametrize("mode", [[], ["--dask"]], ids=["threads", "dask"])
def test_load_frames_counts_every_frame(tmp_path, mode):
    table = fields("x y z i:U1")
    counts = {}
    for frame, encoding in enumerate(ENCODINGS * 2):
        counts[f"frame{frame}.pcd"] = 50 * frame + 7
        values = random_values(table, counts[f"frame{frame}.pcd"], seed=frame)
        write(tmp_path / f"frame{frame}.pcd", pcd_bytes(table, values, encoding))
    (tmp_path / "notes.txt").write_text("not a frame")
    output = run_example("examples/load_frames.py", *mode, str(tmp_path))
    expected = [f"{name}: {count} points" for name, count in counts.items()]
    assert output.splitlines() == [*expected, f"total: {sum(counts.values())} points in 6 frames"]


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_convert_keeps_every_value(tmp_path, encoding):
    run_example("examples/convert.py", str(ROOT / "examples"), str(tmp_path), "--encoding", encoding)
    for example in EXAMPLES:
        copy = tmp_path / example.name
        assert tessarel.load_pcd_header(copy)["data"] == encoding
        (points, fields), (again, again_fields) = tessarel.load_pcd(example), tessarel.load_pcd(copy)
        np.testing.assert_array_equal(again, points)
        assert list(again_fields) == list(fields)
        for name, values in fields.items():
            np.testing.assert_array_equal(again_fields[name], values)
        header, copied = tessarel.load_pcd_header(example), tessarel.load_pcd_header(copy)
        assert copied["viewpoint"] == header["viewpoint"] and copied["height"] == header["height"]


# Scans to merge: their field tables, and the error merge.py gives, naming the file that differs.
MERGES = {
    "same-fields": (["x y z i:U1 n:F8x2"] * 3, None),
    "other-type": (["x y z i:U1", "x y z i:U1", "x y z i:U2"],
                   "scan2.pcd: field 'i' (U 2, COUNT 1), where the first scan has 'i' (U 1, COUNT 1) "),
    "other-names": (["x y z i:U1", "x y z"], "scan1.pcd: fields x y z, where the first scan has x y z i "),
}


@pytest.mark.parametrize("specs, error", MERGES.values(), ids=MERGES.keys())
def test_merge_writes_every_scan_or_nothing(tmp_path, specs, error):
    (tmp_path / "scans").mkdir()
    expected = []
    for scan, (spec, encoding) in enumerate(zip(specs, ENCODINGS)):
        table = fields(spec)
        expected.append(random_values(table, 40 * scan + 3, seed=scan))
        write(tmp_path / "scans" / f"scan{scan}.pcd", pcd_bytes(table, expected[-1], encoding))
    extra = tmp_path / "extra.pcd"  # a file named beside the folder
    write(extra, pcd_bytes(fields(specs[0]), random_values(fields(specs[0]), 5, seed=9), "binary"))
    out = tmp_path / "map.pcd"
    done = subprocess.run([sys.executable, "examples/merge.py", str(out), str(tmp_path / "scans"), str(extra)],
                          cwd=ROOT, capture_output=True, text=True, timeout=300)
    if error is not None:
        assert done.returncode == 1 and error in done.stderr, done.stderr
        assert not out.exists()
        return
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == f"{out}: 134 points from 4 files (binary)"
    expected.append(random_values(fields(specs[0]), 5, seed=9))
    points, loaded = tessarel.load_pcd(out)
    columns = [np.concatenate(values) for values in zip(*expected)]
    np.testing.assert_array_equal(points, np.stack(columns[:3], axis=1))
    np.testing.assert_array_equal(loaded["i"], columns[3])
    np.testing.assert_array_equal(loaded["n"], columns[4])


def test_map_tiles_puts_every_point_in_its_tile(tmp_path):
    table = fields("x y z id:U2 d:F8")
    values = random_values(table, 300, seed=3)
    rng = np.random.default_rng(3)
    values[0][:], values[1][:] = rng.uniform(-30, 30, 300), rng.uniform(-30, 30, 300)
    values[0][5] = np.nan  # in no tile: kept apart, not lost
    values[3][:] = np.arange(300)
    source = write(tmp_path / "map.pcd", pcd_bytes(table, values, "binary"))
    run_example("examples/map_tiles.py", source, str(tmp_path / "tiles"), "--tile", "10", "--chunk", "7")
    metadata = (tmp_path / "tiles" / "metadata.yaml").read_text().splitlines()
    assert metadata[:2] == ["x_resolution: 10", "y_resolution: 10"]
    seen = []
    for line in metadata[2:]:
        name, corner = line.split('": ')
        low_x, low_y = (float(c) for c in corner.strip("[]").split(", "))
        points, loaded = tessarel.load_pcd(str(tmp_path / "tiles" / name.strip('"')))
        assert (low_x <= points[:, 0]).all() and (points[:, 0] < low_x + 10).all()
        assert (low_y <= points[:, 1]).all() and (points[:, 1] < low_y + 10).all()
        seen.append((points, loaded))
    seen.append(tessarel.load_pcd(str(tmp_path / "tiles" / "unplaced.pcd")))
    ids = np.concatenate([loaded["id"] for _, loaded in seen])
    assert sorted(ids.tolist()) == list(range(300))
    order = np.argsort(ids)
    np.testing.assert_array_equal(np.concatenate([points for points, _ in seen])[order, 0], values[0])
    np.testing.assert_array_equal(np.concatenate([loaded["d"] for _, loaded in seen])[order], values[4])
