"""scripts/setup.sh as a newcomer meets it, run in a scratch copy of the project."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from project_files import ROOT, run, source_copy

# Each runs setup in a scratch copy of the project: a check of the package as it is shipped.
pytestmark = pytest.mark.dist

BOOKWORM = "VERSION_CODENAME=bookworm" in Path("/etc/os-release").read_text()


def shim(folder: Path, name: str, body: str) -> None:
    folder.mkdir(exist_ok=True)
    (folder / name).write_text("#!/bin/sh\n" + body + "\n")
    (folder / name).chmod(0o755)


def broken_venv(project: Path) -> dict[str, str]:
    """What a failed `python3 -m venv` leaves: the interpreter, without pip."""
    subprocess.run([sys._base_executable, "-m", "venv", "--without-pip", str(project / ".venv")], check=True)
    # Nothing to install, so that the build then fails at once for want of scikit-build-core.
    (project / "requirements-dev.txt").write_text("")
    return {}


def only_debian_python(project: Path) -> dict[str, str]:
    """A machine without pyenv, where the CPythons in /usr/bin are the only ones."""
    (project / "requirements-dev.txt").write_text("")  # the build then fails at once, as above
    path = [folder for folder in os.environ["PATH"].split(":") if ".pyenv" not in folder]
    return {"PATH": ":".join(path), "PYENV_ROOT": str(project / "no-pyenv")}


def not_root_with_nothing_installed(project: Path) -> dict[str, str]:
    shims = project / "shims"
    shim(shims, "id", '[ "$1" = -u ] && { echo 1000; exit 0; }\nexec /usr/bin/id "$@"')
    shim(shims, "dpkg-query", "exit 1")
    shim(shims, "apt-get", f'touch "{project}/apt-was-called"; exit 100')
    return {"PATH": f"{shims}:{os.environ['PATH']}"}


def runs_pip(project: Path) -> bool:
    return run(str(project / ".venv/bin/python"), "-m", "pip", "--version").returncode == 0


def venv_of_debian_python(project: Path) -> bool:
    return "home = /usr/bin\n" in (project / ".venv/pyvenv.cfg").read_text()


def left_apt_and_venv_alone(project: Path) -> bool:
    return not (project / "apt-was-called").exists() and not (project / ".venv").exists()


# Debian 12 has no fast_float 6 package: setup fetches its headers.
CREATING_VENV = r"creating \.venv with CPython 3\.1[0-3]"
# Setup took the CPython this suite runs on: Debian's own needs its -dev and -venv packages too.
SYSTEM_PYTHON = sys._base_executable.startswith("/usr/bin/")
# On i386, NumPy and matplotlib come from Debian: PyPI has no wheels for it.
I386 = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip() == "i386"
PACKAGES = " ".join(
    ["g++", "liblzf-dev", "libdragonbox-dev"]
    + ([] if BOOKWORM else ["libfast-float-dev"])
    + (["python3-dev", "python3-venv"] if SYSTEM_PYTHON else [])
    + (["python3-numpy", "python3-matplotlib"] if I386 else [])
) + "\n"


@pytest.mark.parametrize(
    "prepare, steps, says, afterwards",
    [
        (
            broken_venv,
            ["checking system packages", CREATING_VENV, "installing requirements", "building tessarel"],
            ["setup: that step failed; its output:\n", "No module named 'scikit_build_core'"],
            runs_pip,
        ),
        (
            only_debian_python,
            ["checking system packages", CREATING_VENV, "installing requirements", "building tessarel"],
            ["No module named 'scikit_build_core'"],
            venv_of_debian_python,
        ),
        (
            not_root_with_nothing_installed,
            ["checking system packages"],
            ["Install them as root:\n\n    apt install " + PACKAGES, "then run the same make command again.\n"],
            left_apt_and_venv_alone,
        ),
    ],
    ids=["broken-venv", "only-debian-python", "not-root"],
)
def test_setup_in_a_scratch_copy(tmp_path, prepare, steps, says, afterwards):
    project = source_copy(tmp_path)
    if (ROOT / ".deps").exists():
        (project / ".deps").symlink_to(ROOT / ".deps")  # fetched once is enough
    environment = os.environ | prepare(project)
    done = run("bash", str(project / "scripts/setup.sh"), env=environment)
    assert done.returncode == 1, done.stdout + done.stderr
    assert len(done.stdout.splitlines()) == len(steps), done.stdout
    for line, step in zip(done.stdout.splitlines(), steps):
        assert re.fullmatch("setup: " + step, line), line
    for text in says:
        assert text in done.stderr
    assert afterwards(project)
