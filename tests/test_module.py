"""The module as Python sees it: import, docstrings, signature, arguments, exceptions."""

import importlib.metadata
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import tessarel
from pcd_writer import fields, header, pcd_bytes, random_values

DOCSTRING = (
    "\n        Load a PCD file into NumPy arrays.\n\n        Returns:\n"
    "            points: np.ndarray of shape (N,3) with x,y,z\n"
    "            fields: dict of other NumPy arrays with arbitrary names, each of shape\n"
    "                (N,) or (N, COUNT) with its field's dtype; an x, y or z field that\n"
    "                is not float32 with COUNT 1 is there too, with its exact values\n\n"
    "        fields: an iterable of field names (not a single str). Only those fields,\n"
    "            and x, y and z for points, are decoded and kept; the dict is the whole\n"
    "            load's restricted to those names. A name the file lacks raises\n"
    "            KeyError. In ASCII data, a bad value in a field not named is not read.\n"
    "        mmap: with a binary file, the arrays are views of a private, copy-on-write\n"
    "            mapping of the file: the call returns at once whatever the file's\n"
    "            size, pages are read when touched, and writes never reach the file\n"
    "            (points is a view when x, y, z are consecutive F 4 fields). The file\n"
    "            must not be truncated while mapped: that kills the process with\n"
    "            SIGBUS. Other encodings are read as without mmap.\n    "
)


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_module_docstring():
    assert tessarel.__doc__ == "Fast PCD loading (ASCII, binary, binary_compressed)"


def test_version_is_the_package_metadata():
    assert tessarel.__version__ == importlib.metadata.version("tessarel")
    pyproject = (pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text()
    assert f'\nversion = "{tessarel.__version__}"\n' in pyproject


def test_function_docstring_and_signature():
    signature = (
        "load_pcd(filename: str | bytes | bytearray | os.PathLike, fields: collections.abc.Iterable[str] | None = None,"
        " *, mmap: bool = False) -> tuple[numpy.ndarray, dict]\n"
    )
    assert tessarel.load_pcd.__doc__ == signature + "\n" + DOCSTRING + "\n"
    assert tessarel.load_pcd.__name__ == "load_pcd"
    assert tessarel.load_pcd.__module__ == "tessarel"


def test_import_does_not_import_numpy():
    result = run_python("import sys, tessarel; print('numpy' in sys.modules)")
    assert result.stdout.strip() == "False", result.stderr


def test_reimport_gives_the_same_module():
    result = run_python(
        "import sys, tessarel; first = tessarel; del sys.modules['tessarel'];"
        "import tessarel; print(tessarel is first and tessarel.load_pcd is first.load_pcd)"
    )
    assert result.stdout.strip() == "True", result.stderr


@pytest.fixture
def small_cloud(pcd_file):
    table = fields("x y z i:U2")
    values = random_values(table, 5)
    return pcd_file(pcd_bytes(table, values)), values


@pytest.mark.parametrize("convert", [os.fsdecode, bytes, bytearray, lambda p: pathlib.Path(os.fsdecode(p)),
                                     lambda p: pathlib.PurePath(os.fsdecode(p))],
                         ids=["str", "bytes", "bytearray", "path", "pure-path"])
def test_accepted_file_name_types(small_cloud, convert):
    path, values = small_cloud
    # A name that is not UTF-8: as a str, os.listdir gives it with a surrogate escape.
    name = os.fsencode(path).replace(b".pcd", b"\xff.pcd")
    os.rename(path, name)
    points, extra = tessarel.load_pcd(convert(name))
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
    np.testing.assert_array_equal(extra["i"], values[3])
    tessarel.save_pcd(convert(name), points, extra, encoding="ascii")
    assert tessarel.load_pcd_header(name)["data"] == "ascii"


@pytest.mark.parametrize(
    "convert, error",
    [(bytes, None), (bytearray, None), (memoryview, None), (lambda b: np.frombuffer(b, np.uint8), None),
     (lambda b: np.frombuffer(b * 2, np.uint8)[::2], ValueError), (lambda b: memoryview(b * 2)[::2], ValueError),
     (lambda b: b.decode("latin-1"), TypeError), (lambda b: None, TypeError),
     (lambda b: np.array([object()] * len(b)), TypeError)],
    ids=["bytes", "bytearray", "memoryview", "uint8-array", "strided-array", "strided-memoryview", "str", "none",
         "objects"],
)
def test_buffer_arguments(small_cloud, convert, error):
    path, values = small_cloud
    data = convert(pathlib.Path(path).read_bytes())
    if error:
        with pytest.raises(error, match="^data "):
            tessarel.load_pcd_buffer(data)
        return
    points, extra = tessarel.load_pcd_buffer(data=data)
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
    np.testing.assert_array_equal(extra["i"], values[3])


def test_keyword_argument_and_result_shape(small_cloud):
    result = tessarel.load_pcd(filename=small_cloud[0])
    assert type(result) is tuple and len(result) == 2
    assert isinstance(result[0], np.ndarray) and isinstance(result[1], dict)


class RaisingPath:
    def __init__(self, error: BaseException):
        self.error = error

    def __fspath__(self):
        raise self.error


INCOMPATIBLE = (TypeError, r"load_pcd\(\): incompatible function arguments")
REFUSED_ARGUMENTS = {
    "number": ((42,), {}, *INCOMPATIBLE),
    "none": ((None,), {}, *INCOMPATIBLE),
    "no-arg": ((), {}, *INCOMPATIBLE),
    "three-args": (("a", None, True), {}, *INCOMPATIBLE),
    "wrong-keyword": ((), {"path": "a"}, *INCOMPATIBLE),
    "fspath-raises": ((RaisingPath(ValueError("from __fspath__")),), {}, ValueError, "^from __fspath__$"),
    "fspath-interrupted": ((RaisingPath(KeyboardInterrupt("from __fspath__")),), {}, KeyboardInterrupt,
                           "^from __fspath__$"),
    "unencodable-str": (("\ud800.pcd",), {}, UnicodeEncodeError, "surrogates not allowed"),
}


@pytest.mark.parametrize("args, kwargs, error, message", REFUSED_ARGUMENTS.values(), ids=REFUSED_ARGUMENTS.keys())
def test_refused_arguments(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        tessarel.load_pcd(*args, **kwargs)


@pytest.mark.parametrize("name", ["does/not/exist.pcd", "ünïcødé missing.pcd"])
def test_missing_file_message(name):
    with pytest.raises(RuntimeError) as error:
        tessarel.load_pcd(name)
    assert str(error.value) == "Cannot open PCD file: " + name + ": No such file or directory"


NAMED = fields("x y z name")
BAD_DATA = header(NAMED, 0, "X").replace(b"DATA X", b"DATA \xff")
# Bytes that are not UTF-8 show in a message as backslash escapes, never as a UnicodeDecodeError.
NOT_UTF8_MESSAGES = {
    "missing-file": (tessarel.load_pcd, None,
                     r"Cannot open PCD file: {folder}/missing\xff.pcd: No such file or directory"),
    "data-type": (tessarel.load_pcd, BAD_DATA, r"Unsupported PCD DATA type: \xff"),
    "data-type-header": (tessarel.load_pcd_header, BAD_DATA, r"Unsupported PCD DATA type: \xff"),
    "ascii-token": (tessarel.load_pcd, header(NAMED, 1, "ascii").replace(b"name", b"n\xffme") + b"0 0 0 bad\n",
                    r"ASCII PCD data, point 0, field 'n\xffme': 'bad' is not a number of type F 4"),
}


@pytest.mark.parametrize("read, content, message", NOT_UTF8_MESSAGES.values(), ids=NOT_UTF8_MESSAGES.keys())
def test_messages_show_bytes_that_are_not_utf8(tmp_path, pcd_file, read, content, message):
    name = pcd_file(content) if content else os.fsencode(tmp_path) + b"/missing\xff.pcd"
    with pytest.raises(RuntimeError) as raised:
        read(name)
    assert str(raised.value) == message.format(folder=tmp_path)


def test_directory_cannot_be_opened(tmp_path):
    with pytest.raises(RuntimeError, match="^Cannot open PCD file: " + str(tmp_path) + ": Is a directory$"):
        tessarel.load_pcd(str(tmp_path))


def test_fifo_is_refused_without_blocking(tmp_path):
    fifo = tmp_path / "pipe.pcd"
    os.mkfifo(fifo)
    with pytest.raises(RuntimeError, match="^Cannot open PCD file: "):
        tessarel.load_pcd(str(fifo))


@pytest.mark.parametrize("name", ["cloud.pcd\0ignored", b"cloud.pcd\0"])
def test_embedded_nul_is_a_value_error(small_cloud, name):
    directory = pathlib.Path(small_cloud[0]).parent
    pathlib.Path(directory, "cloud.pcd").write_bytes(pathlib.Path(small_cloud[0]).read_bytes())
    full = str(directory) + "/" + name if isinstance(name, str) else str(directory).encode() + b"/" + name
    with pytest.raises(ValueError, match="NUL"):
        tessarel.load_pcd(full)


def other_pythons():
    found = {}
    for candidate in sorted(pathlib.Path.home().glob(".pyenv/versions/3.*/bin/python3")):
        version = candidate.parent.parent.name.rsplit(".", 1)[0]
        if version != "%d.%d" % sys.version_info[:2]:
            found.setdefault(version, candidate)
    return list(found.values())


@pytest.mark.skipif(not other_pythons(), reason="no other CPython installed")
@pytest.mark.parametrize("python", other_pythons(), ids=str)
def test_other_interpreters_are_refused(python):
    # Lazy binding lets the init function run far enough to make its own check.
    code = (
        "import importlib.machinery as m, importlib.util as u, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"spec = u.spec_from_file_location('tessarel', {tessarel.__file__!r},"
        f" loader=m.ExtensionFileLoader('tessarel', {tessarel.__file__!r}))\n"
        "try:\n    u.module_from_spec(spec)\nexcept ImportError as e:\n    print(e)\n"
    )
    result = subprocess.run([str(python), "-c", code], capture_output=True, text=True, timeout=60)
    version = subprocess.run(
        [str(python), "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert result.stdout.strip() == (
        f"Python version mismatch: module was compiled for Python {sys.version_info[0]}.{sys.version_info[1]}, "
        f"but the interpreter version is incompatible: {version}."
    )
