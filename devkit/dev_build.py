"""Builds the project's C++ developer targets through CMake and says where they are.

    dev_build.py [--dir FOLDER] [-D NAME=VALUE ...] TARGET...

Configures FOLDER (default build/dev, or $TESSAREL_DEV_BUILD) with the developer targets on
and the Python module off (again only when the options change), then builds each TARGET and prints its path (`all`
builds everything). Tests and
benchmarks call `target(name)` instead."""

import argparse
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / ".venv" / "bin"  # scripts/setup.sh installs cmake and ninja there


def default_dir() -> Path:
    """The sanitized test run points this at its own build, so its programs are sanitized too."""
    return Path(os.environ.get("TESSAREL_DEV_BUILD", ROOT / "build" / "dev"))


def run(command: list[str]) -> None:
    """Quiet unless it fails; then the tool's output is the error."""
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed:\n{done.stdout[-6000:]}{done.stderr[-6000:]}")


def configure(folder: Path, options: list[str]) -> None:
    """Configures once, and again whenever the options differ from the last configuration's."""
    # Warnings fail CI's builds only: a newer compiler's new warning must not fail a user's.
    werror = "ON" if os.environ.get("CI") else "OFF"
    defaults = ["CMAKE_BUILD_TYPE=Release", "TESSAREL_MODULE=OFF", "TESSAREL_DEV_TOOLS=ON", f"TESSAREL_WERROR={werror}"]
    settings = {name: value for name, _, value in (o.partition("=") for o in [*defaults, *options])}
    defines = [f"-D{k}={v}" for k, v in settings.items()]
    stamp = folder / "tessarel-options.txt"
    if (folder / "CMakeCache.txt").exists() and stamp.exists() and stamp.read_text() == "\n".join(defines):
        return
    run([str(TOOLS / "cmake"), "-S", str(ROOT), "-B", str(folder), "-G", "Ninja",
         f"-DCMAKE_MAKE_PROGRAM={TOOLS / 'ninja'}", *defines])
    stamp.write_text("\n".join(defines))


def built(folder: Path, name: str) -> Path:
    for candidate in (folder / name, folder / f"lib{name}.so"):
        if candidate.exists():
            return candidate
    raise FileNotFoundError(f"CMake built no file for target {name} in {folder}")


def build(names: list[str], folder: Path | None = None, options: list[str] | None = None) -> list[Path]:
    folder = folder or default_dir()
    configure(folder, options or [])
    run([str(TOOLS / "cmake"), "--build", str(folder), "--target", *names])
    return [built(folder, name) for name in names if name != "all"]


def target(name: str) -> Path:
    return build([name])[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", type=Path, default=None)
    parser.add_argument("-D", dest="options", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("targets", nargs="+")
    args = parser.parse_args()
    for path in build(args.targets, args.dir, args.options):
        print(path)


if __name__ == "__main__":
    main()
