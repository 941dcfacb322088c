"""The wheel as users install it, and the types its stubs give to their code."""

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import tessarel
from project_files import EXAMPLES, ROOT, run, source_copy

SANITIZED = bool(os.environ.get("TESSAREL_SANITIZED"))

# Where PyPI has no NumPy wheel for the machine, setup makes the project's venv over Debian's
# NumPy; the venvs made here do the same.
SHARES_SYSTEM_PACKAGES = "include-system-site-packages = true" in (
    (Path(sys.prefix) / "pyvenv.cfg").read_text() if (Path(sys.prefix) / "pyvenv.cfg").exists() else ""
)


def make_venv(folder: Path, python: str = sys._base_executable) -> subprocess.CompletedProcess:
    shared = ["--system-site-packages"] if SHARES_SYSTEM_PACKAGES else []
    return run(python, "-m", "venv", *shared, str(folder))


def debian_version(package: str) -> str:
    query = run("dpkg-query", "-W", "-f=${Status} ${Version}", package)
    status, _, version = query.stdout.rpartition(" ")
    return version if status == "install ok installed" else ""


PYTHON_VERSIONS = ["3.10", "3.11", "3.12", "3.13"]


def python_of_version(version: str) -> str:
    """The interpreter that the project's scripts take for CPython `version`; empty when absent."""
    found = run("bash", "-c", f'. "{ROOT}/scripts/common.sh" && python_of_version {version}')
    return found.stdout.strip()


@pytest.fixture(scope="session")
def wheel_of(tmp_path_factory):
    """The wheel of this machine's build for an interpreter, built at its first use in the session."""
    built = {}

    def build(python: str) -> Path:
        if python not in built:
            dist = tmp_path_factory.mktemp("dist")
            done = run("bash", str(ROOT / "scripts/build_wheel.sh"), str(dist), python)
            assert done.returncode == 0, done.stderr
            (built[python],) = dist.glob("tessarel-*-manylinux_*.whl")
        return built[python]
    return build


@pytest.fixture(scope="session")
def shipped_wheels(tmp_path_factory) -> dict[str, Path]:
    """make dist's wheels, by the CPython version they are for."""
    dist = tmp_path_factory.mktemp("shipped")
    # The core and each CPython's module, with zig's libc++ built first on a new machine.
    done = run("bash", str(ROOT / "scripts/build_dist.sh"), str(dist), timeout=3600)
    assert done.returncode == 0, done.stderr
    wheels = {}
    for wheel in dist.glob("tessarel-*.whl"):
        tag = wheel.name.split("-")[2]  # cp313
        wheels[f"{tag[2]}.{tag[3:]}"] = wheel
    return wheels


# Each example, loaded, saved again in every encoding, read whole, in chunks and streamed, as a
# PointCloud2 message, and its colours: the suite's portable part in brief, in the wheel's venv.
_USE_THE_WHEEL = """
import sys
from types import SimpleNamespace
import numpy as np, tessarel

def same(a, b):
    bits = [np.ascontiguousarray(array).tobytes() for array in (a, b)]
    return a.shape == b.shape and a.dtype == b.dtype and bits[0] == bits[1]

assert "/venv/" in tessarel.__file__, tessarel.__file__
print("%d.%d" % sys.version_info[:2], np.__version__)
for name in sys.argv[1:]:
    points, fields = tessarel.load_pcd(name)
    np.save(name + ".npy", points)
    for encoding in ("ascii", "binary", "binary_compressed"):
        tessarel.save_pcd("copy.pcd", points, fields, encoding=encoding)
        again, kept = tessarel.load_pcd("copy.pcd")
        assert same(again, points) and all(same(kept[k], v) for k, v in fields.items()), (name, encoding)
        chunks = [chunk for chunk, _ in tessarel.iter_pcd("copy.pcd", chunk_points=100)]
        assert same(np.concatenate(chunks), points), (name, encoding)
        with tessarel.PcdWriter("streamed.pcd", encoding=encoding) as out:
            for part in np.array_split(np.arange(len(points)), 3):
                out.write(points[part], {k: v[part] for k, v in fields.items()})
        assert same(tessarel.load_pcd("streamed.pcd")[0], points), (name, encoding)
    message = SimpleNamespace(**tessarel.to_pointcloud2(points, fields))
    message.fields = [SimpleNamespace(name=n, offset=o, datatype=d, count=c) for n, o, d, c in message.fields]
    assert same(tessarel.from_pointcloud2(message)[0], points), name
colours = np.arange(3000, dtype=np.uint8).reshape(1000, 3)
assert same(tessarel.unpack_rgb(tessarel.pack_rgb(colours)), colours)
"""


def check_wheel(tmp_path, python: str, wheel: Path, numpy: str) -> str:
    """Installs `wheel` with `numpy` in a fresh venv of `python` and uses it on copies of the
    examples, in a folder of their own, from an isolated interpreter (no PYTHONPATH, no user
    site) started far from the build tree; what it printed."""
    venv = tmp_path / "venv"
    created = make_venv(venv, python)
    assert created.returncode == 0, created.stderr
    python = str(venv / "bin/python")
    installed = run(python, "-m", "pip", "install", "-q", numpy, str(wheel))
    assert installed.returncode == 0, installed.stderr
    work = tmp_path / "work"
    work.mkdir()
    for example in EXAMPLES:
        shutil.copy(example, work)
    used = run(python, "-I", "-c", _USE_THE_WHEEL, *(e.name for e in EXAMPLES), cwd=work,
               env={"PATH": os.environ["PATH"]})
    assert used.returncode == 0, used.stderr
    for example in EXAMPLES:
        expected, _ = tessarel.load_pcd(str(example))
        np.testing.assert_array_equal(np.load(work / (example.name + ".npy")), expected)
    return used.stdout.strip()


RUNNING = "%d.%d" % sys.version_info[:2]


@pytest.mark.skipif(SANITIZED, reason="the wheel is the normal build, not the sanitized one")
def test_the_running_pythons_wheel_installs_and_works(tmp_path, wheel_of):
    wheel = wheel_of(sys._base_executable)
    assert check_wheel(tmp_path, sys._base_executable, wheel, "numpy").startswith(RUNNING + " ")


# The oldest NumPy with wheels for each CPython, as pyproject.toml declares it.
OLDEST_NUMPY = {"3.10": "1.21.2", "3.11": "1.23.2", "3.12": "1.26.0", "3.13": "2.1.0"}


@pytest.mark.dist
@pytest.mark.skipif(SANITIZED, reason="the wheel is the normal build, not the sanitized one")
@pytest.mark.parametrize("numpy", ["oldest", "newest"])
@pytest.mark.parametrize("version", PYTHON_VERSIONS)
def test_shipped_wheel_installs_and_works(tmp_path, shipped_wheels, version, numpy):
    python = python_of_version(version)
    if not python:
        assert version not in shipped_wheels
        pytest.skip(f"no CPython {version} here")
    wheel = shipped_wheels[version]
    assert wheel.name.endswith(f"-cp{version.replace('.', '')}-manylinux2014_x86_64.manylinux_2_17_x86_64.whl")
    requested = f"numpy=={OLDEST_NUMPY[version]}" if numpy == "oldest" else "numpy"
    said = check_wheel(tmp_path, python, wheel, requested)
    assert said.startswith(version + " " + (OLDEST_NUMPY[version] if numpy == "oldest" else "")), said


# Debian 13 has fast_float 8; Debian 12 has 3.9 only, and setup fetches newer headers.
FAST_FLOAT_MAJOR = re.match(r"(?:\d+:)?(\d*)", debian_version("libfast-float-dev")).group(1)
SYSTEM_LIBRARIES = int(FAST_FLOAT_MAJOR or 0) >= 6


@pytest.mark.dist
@pytest.mark.skipif(SANITIZED, reason="pip builds the normal module, not the sanitized one")
@pytest.mark.parametrize("outcome", ["builds", "explains"])
def test_pip_install_from_source_in_a_fresh_venv(tmp_path, outcome):
    if SYSTEM_LIBRARIES != (outcome == "builds"):
        pytest.skip("the system has libfast-float-dev 6 or later" if SYSTEM_LIBRARIES
                    else "builds only with libfast-float-dev 6 or later installed")
    source = source_copy(tmp_path)
    venv = tmp_path / "venv"
    assert make_venv(venv).returncode == 0
    python = str(venv / "bin/python")
    environment = {k: v for k, v in os.environ.items() if k != "CMAKE_PREFIX_PATH"}
    installed = run(python, "-m", "pip", "install", str(source), env=environment)
    if outcome == "builds":
        assert installed.returncode == 0, installed.stdout + installed.stderr
        loaded = run(
            python, "-c", "import sys, tessarel; print(len(tessarel.load_pcd(sys.argv[1])[0]))", str(EXAMPLES[0])
        )
        assert loaded.stdout.strip() == str(len(tessarel.load_pcd(str(EXAMPLES[0]))[0])), loaded.stderr
    else:
        assert installed.returncode != 0
        said = " ".join((installed.stdout + installed.stderr).split())  # CMake wraps its messages
        assert "fast_float 6 or later is needed; none was found." in said, said[-3000:]
        assert "`apt install libfast-float-dev`" in said and "run `make run` in the source tree" in said


USER_CODE = """
    import pathlib

    import numpy as np
    import numpy.typing as npt
    import tessarel

    def coordinates(path: str) -> npt.NDArray[np.float32]:
        points, fields = tessarel.load_pcd(path)
        intensity: npt.NDArray[np.generic] = fields["intensity"]
        print(intensity.shape, points.dtype)
        return points

    coordinates("cloud.pcd")
    tessarel.load_pcd(b"cloud.pcd")
    tessarel.load_pcd(pathlib.Path("cloud.pcd"))
    tessarel.load_pcd_buffer(pathlib.Path("cloud.pcd").read_bytes())
    with tessarel.PcdWriter("map.pcd", encoding="ascii", height=2) as out:
        out.write(np.zeros((4, 3), np.float32), {"intensity": np.ones(4)})
"""


def mypy(tmp_path, code: str) -> subprocess.CompletedProcess:
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent(code))
    cache = ROOT / ".cache/mypy"
    return run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), str(script), cwd=tmp_path)


def test_mypy_accepts_typed_use(tmp_path):
    checked = mypy(tmp_path, USER_CODE)
    assert checked.returncode == 0, checked.stdout


def test_mypy_reports_a_wrong_argument(tmp_path):
    checked = mypy(tmp_path, """
        import tessarel

        tessarel.load_pcd(42)
    """)
    assert checked.returncode == 1
    assert 'Argument 1 to "load_pcd" has incompatible type "int"' in checked.stdout


def documented_functions(body: list, owner) -> list[str]:
    """The names of the functions in `body` whose stub docstring is the runtime one, checked; a
    method's runtime docstring follows pybind11's signature line, a property's has none."""
    functions = [node for node in body if isinstance(node, ast.FunctionDef) and ast.get_docstring(node)]
    for function in functions:
        runtime = inspect.getattr_static(owner, function.name)
        runtime_doc = runtime.__doc__ if isinstance(runtime, property) else runtime.__doc__.split("\n", 1)[1]
        assert ast.get_docstring(function) == inspect.cleandoc(runtime_doc), function.name
    return [function.name for function in functions]


def test_stub_matches_the_module():
    stub = ast.parse((Path(tessarel.__file__).parent / "__init__.pyi").read_text())
    assert ast.get_docstring(stub) == tessarel.__doc__
    declared = {node.target.id: ast.unparse(node.annotation) for node in stub.body if isinstance(node, ast.AnnAssign)}
    assert declared["__version__"] == "str" and isinstance(tessarel.__version__, str)
    public = documented_functions(stub.body, tessarel)
    # Classes of the module itself; the stub's TypedDicts describe plain dicts.
    for stub_class in [node for node in stub.body if isinstance(node, ast.ClassDef) and hasattr(tessarel, node.name)]:
        runtime = getattr(tessarel, stub_class.name)
        assert ast.get_docstring(stub_class) == inspect.cleandoc(runtime.__doc__)
        methods = [name for name in dir(runtime) if not name.startswith("_")]
        assert sorted(documented_functions(stub_class.body, runtime)) == methods
        public.append(stub_class.name)
    assert [name for name in dir(tessarel) if not name.startswith("_")] == sorted(public)
    with pytest.raises(TypeError):
        tessarel.load_pcd(42)  # type: ignore[arg-type]
