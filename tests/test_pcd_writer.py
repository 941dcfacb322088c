"""PcdWriter's promises beyond the round trip (test_save.py): a writer that fails, is aborted or
is collected before it completes leaves the target as it was; a refused write writes nothing;
a second thread's call is refused; a target that cannot seek is refused where it must seek."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from test_save import Reader, folder_state

import tessarel
from pcd_writer import ENCODINGS

PREVIOUS = b"the previous file"
POINTS = np.arange(30, dtype=np.float32).reshape(10, 3)
FIELDS = {"intensity": np.linspace(0, 1, 10, dtype=np.float32), "normal": np.ones((10, 3))}


def mismatched(fields: dict):
    """A first write of POINTS and FIELDS, then one of POINTS and `fields`."""
    def run(target, encoding):
        with tessarel.PcdWriter(target, encoding=encoding) as out:
            out.write(POINTS, FIELDS)
            out.write(POINTS, fields)
    return run


def raising_in_block(target, encoding):
    with tessarel.PcdWriter(target, encoding=encoding) as out:
        out.write(POINTS, FIELDS)
        raise KeyError("stopped")


def aborted(target, encoding):
    out = tessarel.PcdWriter(target, encoding=encoding)
    out.write(POINTS, FIELDS)
    out.abort()
    out.write(POINTS, FIELDS)


def uneven_rows(target, encoding):
    with tessarel.PcdWriter(target, encoding=encoding, height=3) as out:
        out.write(POINTS, FIELDS)


def collected(target, encoding):
    out = tessarel.PcdWriter(target, encoding=encoding)
    out.write(POINTS, FIELDS)
    del out
    gc.collect()


# What goes wrong, and the exception that reaches the caller (none for a writer collected
# unfinished); each leaves the target as it was.
FAULTS = {
    "field-missing": (mismatched({"intensity": FIELDS["intensity"]}), ValueError,
                      "this write's fields are 'x y z intensity', the first write's 'x y z intensity normal'"),
    "field-added": (mismatched(FIELDS | {"label": np.zeros(10, np.uint8)}), ValueError,
                    "fields are 'x y z intensity normal label', the first"),
    "field-order": (mismatched(dict(reversed(FIELDS.items()))), ValueError, "fields are 'x y z normal intensity'"),
    "dtype": (mismatched(FIELDS | {"intensity": np.zeros(10)}), ValueError,
              "field 'intensity' is TYPE F SIZE 8 COUNT 1 in this write, TYPE F SIZE 4 COUNT 1 in the first"),
    "count": (mismatched(FIELDS | {"normal": np.ones((10, 2))}), ValueError, "field 'normal' is TYPE F SIZE 8 COUNT 2"),
    "coordinate-as-field": (mismatched(FIELDS | {"z": np.zeros(10, np.int16)}), ValueError,
                            "field 'z' is TYPE I SIZE 2 COUNT 1 in this write, TYPE F SIZE 4"),
    "exception-in-block": (raising_in_block, KeyError, "stopped"),
    "abort": (aborted, ValueError, "write to a closed PcdWriter"),
    "height-not-dividing": (uneven_rows, ValueError, "the 10 points written do not fill rows of HEIGHT 3"),
    "height-zero": (lambda target, encoding: tessarel.PcdWriter(target, encoding=encoding, height=0), ValueError,
                    "height must be 1 or more for a PcdWriter, not 0"),
    "collected": (collected, None, None),
}


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("run, error, message", FAULTS.values(), ids=FAULTS.keys())
def test_faults_leave_the_target_as_it_was(tmp_path, run, error, message, encoding):
    target = tmp_path / "kept.pcd"
    target.write_bytes(PREVIOUS)
    if error is None:
        run(target, encoding)
    else:
        with pytest.raises(error, match=message):
            run(target, encoding)
    assert folder_state(tmp_path) == {"kept.pcd": PREVIOUS}


def test_a_full_disk_leaves_the_previous_file(tmp_path):
    """The file size limit stands in for a full disk: binary and ascii fail in a later call (their
    parts are written on a thread while the caller goes on), binary_compressed when it completes."""
    target = tmp_path / "kept.pcd"
    target.write_bytes(PREVIOUS)
    code = textwrap.dedent("""
        import resource, signal, sys, numpy as np, tessarel
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        points = np.random.default_rng(0).random((20_000, 3)).astype(np.float32)
        for encoding in ("binary", "ascii", "binary_compressed"):
            try:
                with tessarel.PcdWriter(sys.argv[1], encoding=encoding) as out:
                    for scan in range(5):
                        try:
                            out.write(points)
                        except OSError as error:  # caught, as a careless caller would
                            print(encoding, "write", error.errno, scan)
            except (OSError, RuntimeError) as error:
                print(encoding, type(error).__name__, (error.__cause__ or error).errno)
    """)
    run = subprocess.run([sys.executable, "-c", code, str(target)], capture_output=True, text=True, timeout=60)
    lines = run.stdout.splitlines()
    # A failure is raised by the first call after the thread met it, and parts that reach no MiB
    # boundary are held back: any write after the first, or completing. Every call after a
    # failed write, leaving the block among them, raises RuntimeError from it.
    for encoding in ("binary", "ascii"):
        said = [line.split(" ", 1)[1] for line in lines if line.startswith(encoding + " ")]
        assert said == ["OSError 27"] or (said[0] in [f"write 27 {scan}" for scan in range(1, 5)]
                                          and said[1:] == ["RuntimeError 27"]), run.stdout + run.stderr
    assert lines[-1] == "binary_compressed OSError 27", run.stdout + run.stderr
    assert folder_state(tmp_path) == {"kept.pcd": PREVIOUS}


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_refused_write_writes_nothing_and_the_writer_goes_on(tmp_path, encoding):
    target = tmp_path / "map.pcd"
    with tessarel.PcdWriter(target, encoding=encoding) as out:
        out.write(POINTS[:4], {"intensity": FIELDS["intensity"][:4]})
        with pytest.raises(TypeError, match="field 'intensity' has dtype bool"):
            out.write(POINTS, {"intensity": np.zeros(10, bool)})
        with pytest.raises(ValueError, match="this write's fields are 'x y z'"):
            out.write(POINTS)
        out.write(POINTS[4:], {"intensity": FIELDS["intensity"][4:]})
    points, fields = tessarel.load_pcd(target)
    assert np.array_equal(points, POINTS) and np.array_equal(fields["intensity"], FIELDS["intensity"])


class Reentrant(dict):
    """Fields whose reading, in the middle of a write, has another thread call the same writer."""
    def __init__(self, writer, fields):
        super().__init__(fields)
        self.writer, self.refused = writer, []

    def __getitem__(self, name):
        def other():
            try:
                self.writer.write(POINTS, FIELDS)
            except RuntimeError as error:
                self.refused.append(str(error))
        thread = threading.Thread(target=other)
        thread.start()
        thread.join()
        return super().__getitem__(name)


def test_a_second_thread_is_refused_while_a_write_runs(tmp_path):
    target = tmp_path / "map.pcd"
    with tessarel.PcdWriter(target) as out:
        fields = Reentrant(out, FIELDS)
        out.write(POINTS, fields)
    refusal = "this PcdWriter is in use by another thread: a writer is used from one thread at a time"
    assert fields.refused == [refusal] * len(FIELDS)
    assert len(tessarel.load_pcd(target)[0]) == len(POINTS)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_fifo_takes_only_what_is_written_once(tmp_path, encoding):
    """binary and ascii need to rewrite the header: refused before the FIFO is opened, which
    would wait for a reader; binary_compressed writes everything at the end."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    if encoding != "binary_compressed":
        with pytest.raises(ValueError, match="cannot seek .*: write it to a file, or as binary_compressed"):
            tessarel.PcdWriter(fifo, encoding=encoding)
        return
    reader = Reader(fifo)
    with tessarel.PcdWriter(fifo, encoding=encoding) as out:
        out.write(POINTS, FIELDS)
        out.write(POINTS, FIELDS)
    reader.join()
    assert np.array_equal(tessarel.load_pcd_buffer(reader.bytes)[0], np.concatenate([POINTS, POINTS]))


# Objects that Python can make but no constructor set up, and constructors called twice.
MISUSE = {
    "writer-made-by-new": (lambda path: tessarel.PcdWriter.__new__(tessarel.PcdWriter).write(POINTS), TypeError,
                           "^this PcdWriter was made by __new__ alone and was never initialised"),
    "iterator-made-by-new": (lambda path: tessarel.PcdIterator.__new__(tessarel.PcdIterator).header, TypeError,
                             "^this PcdIterator was made by __new__ alone"),
    "next-of-iterator-made-by-new": (lambda path: next(tessarel.PcdIterator.__new__(tessarel.PcdIterator)),
                                     TypeError, "^this PcdIterator was made by __new__ alone"),
    "second-init": (lambda path: tessarel.PcdWriter(path).__init__(path), TypeError,
                    "^this PcdWriter is initialised already: make a new one$"),
    "method-of-another-object": (lambda path: tessarel.PcdWriter.close(object()), TypeError,
                                 "^expected a PcdWriter, not object$"),
}


@pytest.mark.parametrize("call, error, message", MISUSE.values(), ids=MISUSE.keys())
def test_objects_not_made_as_documented_are_refused(tmp_path, call, error, message):
    with pytest.raises(error, match=message):
        call(tmp_path / "map.pcd")
    assert not (tmp_path / "map.pcd").exists()
