"""The shared buffer's lifetime, leaks over many loads, and loads from several threads."""

import gc
import itertools
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tessarel
from pcd_writer import ENCODINGS, fields, header, pcd_bytes, random_values, write

SANITIZED = bool(os.environ.get("TESSAREL_SANITIZED"))
rss_test = pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine holds freed memory")


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def keep_only(points, loaded, kept: str):
    """Drops every other array of a load and returns the survivor."""
    survivor = {
        "points": lambda points, fields: points,
        "every tenth point": lambda points, fields: points[::10],
        "one field": lambda points, fields: fields["t"],
        "field dict": lambda points, fields: fields,
        "transposed field": lambda points, fields: fields["n"].T,
    }[kept](points, loaded)
    del points, loaded
    gc.collect()
    return survivor


@pytest.mark.parametrize("spec", ["x y z t:U2 n:F4x3", "x:F8 y z:I4 t:U2 n:F4x3"])
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("kept", ["points", "every tenth point", "one field", "field dict", "transposed field"])
def test_any_survivor_keeps_its_values(pcd_file, spec, encoding, kept):
    table = fields(spec)
    values = random_values(table, 5000, seed=11)
    path = pcd_file(pcd_bytes(table, values, encoding))
    points, loaded = tessarel.load_pcd(path)
    expected = keep_only(points.copy(), {k: v.copy() for k, v in loaded.items()}, kept)
    del points, loaded
    survivor = keep_only(*tessarel.load_pcd(path), kept)
    # Fresh allocations of the same size would reuse a buffer freed too early.
    junk = [np.full(len(values[0]) * 40, 0x5A, np.uint8) for _ in range(4)]
    survivors = survivor if kept == "field dict" else {kept: survivor}
    expected = expected if kept == "field dict" else {kept: expected}
    for name, array in survivors.items():
        np.testing.assert_array_equal(array, expected[name])
    # Nor may the survivor share memory with them: writing through it leaves them as they were.
    for array in survivors.values():
        array[...] = 0
    assert all((block == 0x5A).all() for block in junk)


@rss_test
def test_the_buffer_is_freed_with_its_last_array(tmp_path):
    table = fields("x y z t")
    path = write(tmp_path / "big.pcd", pcd_bytes(table, random_values(table, 4_000_000), "binary"))
    size = 4_000_000 * 16
    for kept in ["points", "one field", "every tenth point"]:
        gc.collect()
        before = rss()
        survivor = keep_only(*tessarel.load_pcd(path), kept)
        assert rss() - before > size * 0.9
        del survivor
        gc.collect()
        assert rss() - before < size * 0.1, kept


@rss_test
def test_many_loads_leave_memory_flat(tmp_path):
    table = fields("x y z t rgb:U4 label:U2 ring:U2")
    values = random_values(table, 40_000)  # 1 MB of records
    good = {enc: pcd_bytes(table, values, enc) for enc in ["binary", "binary_compressed"]}
    good["ascii"] = pcd_bytes(table, [v[:4000] for v in values], "ascii")  # text parses slowly
    bad = {
        "truncated": good["binary"][:-1],
        "damaged LZF": good["binary_compressed"][:-100] + bytes(100),
        "bad token at the end": good["ascii"][:-10] + b"#\n",
    }
    files = {name: write(tmp_path / f"{i}.pcd", content) for i, (name, content) in enumerate({**good, **bad}.items())}
    schedule = [files[name] for name in [
        "binary", "binary_compressed", "truncated", "binary", "damaged LZF",
        "binary", "ascii", "truncated", "binary_compressed", "bad token at the end",
    ]]

    def run(loads: int) -> None:
        for i in range(loads):
            try:
                tessarel.load_pcd(schedule[i % len(schedule)])
            except RuntimeError:
                pass

    run(500)
    gc.collect()
    memory, objects = rss(), len(gc.get_objects())
    run(5000)
    gc.collect()
    assert rss() - memory < 4 << 20
    assert abs(len(gc.get_objects()) - objects) < 100


def test_loads_from_eight_threads(pcd_file):
    # Small clouds, and clouds with over 4 MiB of records whose pages a helper faults in.
    # Smooth values in the large ones keep their compressed block smaller than the records.
    table = fields("x y z t:U2 n:F8x2")
    clouds = []
    for seed, encoding in enumerate(ENCODINGS):
        values = random_values(table, 3000 + seed, seed=seed)
        clouds.append((pcd_file(pcd_bytes(table, values, encoding)), values))
        ramp = np.arange(150_000 + seed) % 1000
        values = [(ramp * k).astype(np.float32) for k in (1, 2, 3)]
        values += [ramp.astype(np.uint16), np.stack([ramp, -ramp], axis=1) / 8.0]
        clouds.append((pcd_file(pcd_bytes(table, values, encoding)), values))

    def load_all(worker: int) -> list[tuple[float, float]]:
        spans = []
        for round in range(12):
            path, values = clouds[(worker + round) % len(clouds)]
            start = time.perf_counter()
            points, loaded = tessarel.load_pcd(path)
            spans.append((start, time.perf_counter()))
            np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
            np.testing.assert_array_equal(loaded["t"], values[3])
            np.testing.assert_array_equal(loaded["n"], values[4])
        return spans

    with ThreadPoolExecutor(8) as pool:
        spans = list(pool.map(load_all, range(8)))
    # The loads did run at the same time: some load of one worker overlaps one of another's.
    assert any(a0 < b1 and b0 < a1 for one, other in itertools.combinations(spans, 2)
               for a0, a1 in one for b0, b1 in other)


def test_other_threads_run_while_a_file_loads(pcd_file):
    lines = 4_000_000  # about 80 MB of text: a load long enough to see into
    path = pcd_file(header(fields("x y z t:U2"), lines, "ascii") + b"1.25 -3.5 1e3 65535\n" * lines)
    ticks, stop = [], threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        while not ticks:
            time.sleep(0.001)
        start = time.perf_counter()
        points, loaded = tessarel.load_pcd(path)
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
    assert (points == np.float32([1.25, -3.5, 1e3])).all() and (loaded["t"] == 65535).all()
    # Holding the interpreter lock, the load would leave one gap as long as itself.
    during = [start, *(t for t in ticks if start < t < end), end]
    longest_gap = max(b - a for a, b in itertools.pairwise(during))
    assert longest_gap < (end - start) / 4, (longest_gap, end - start)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_clouds_large_enough_for_the_helper_thread(pcd_file, encoding):
    # Over 4 MiB of records (and of text): the readers fault pages in on a helper thread.
    # Smooth values, so that the compressed block is smaller than the records.
    points = 300_000
    table = fields("x y z t:U4")
    ramp = (np.arange(points) % 1000).astype(np.float32)
    values = [ramp, ramp * 2, ramp / 4, np.arange(points, dtype=np.uint32)]
    loaded_points, loaded = tessarel.load_pcd(pcd_file(pcd_bytes(table, values, encoding)))
    np.testing.assert_array_equal(loaded_points, np.stack(values[:3], axis=1))
    np.testing.assert_array_equal(loaded["t"], values[3])
