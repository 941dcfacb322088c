# Every target sets up what it needs first; see scripts/setup.sh.
PYTHON := .venv/bin/python
FILE ?=
FUZZ_SECONDS ?= 60
BENCH_ARGS ?=
PYTEST_ARGS ?=

LINTED_CPP = $(shell git ls-files '*.cpp' '*.hpp')

.PHONY: setup run test test-dist test-oldest lint test-asan test-32 check-floats fuzz wheel dist bench bench-save bench-threads bench-maps clean

setup:
	@bash scripts/setup.sh

run: setup
	$(PYTHON) examples/summary.py $(if $(FILE),$(FILE),examples/*.pcd)

# The suite a contributor runs: everything but the checks of the package as it is shipped.
test: setup
	$(PYTHON) -m pytest -q -m "not dist" $(PYTEST_ARGS)

# The package as it is shipped: a wheel for every supported CPython found, installed and used;
# pip install from source in a fresh venv; setup in scratch copies of the project.
test-dist: setup
	$(PYTHON) -m pytest -q -m dist $(PYTEST_ARGS)

# The suite again on the oldest supported CPython found, in .venv-oldest; the C++ test programs
# are built with the tools of .venv.
test-oldest: setup
	@TESSAREL_VENV=.venv-oldest TESSAREL_PYTHON=oldest bash scripts/setup.sh
	.venv-oldest/bin/python -m pytest -q -m "not dist" $(PYTEST_ARGS)

# The C++ sources against .clang-format, the Python against pyproject.toml's ruff settings;
# the tools need the venv, not the module.
lint:
	@TESSAREL_NO_BUILD=1 bash scripts/setup.sh
	@echo clang-format: $(words $(LINTED_CPP)) files
	@.venv/bin/clang-format --dry-run --Werror $(LINTED_CPP)
	.venv/bin/ruff check .

# The whole suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: setup
	bash scripts/test_asan.sh

# The reading core at 32 and 64 bits, replaying the same files: both must agree.
test-32: setup
	bash scripts/test_32.sh

# The text ASCII saves give every one of the 2^32 float bit patterns, against std::to_chars
# and read back; minutes on every CPU, so outside `make test`.
check-floats: setup
	"$$($(PYTHON) devkit/dev_build.py float_text_check)" floats

# Each libFuzzer target for FUZZ_SECONDS.
fuzz: setup
	bash scripts/fuzz.sh $(FUZZ_SECONDS)

# One wheel per supported CPython found, in dist/, for this machine's glibc and later.
wheel: setup
	bash scripts/build_wheel.sh dist

# The wheels users install: one per supported CPython found, manylinux2014 (glibc 2.17), in dist/.
dist: setup
	bash scripts/build_dist.sh dist

# Every loader on every data set, with peak memory; BENCH_ARGS narrows it (see --help).
# Then every writer, maps written scan by scan, and the thread benchmark.
bench: setup
	bash scripts/bench.sh bench_load.py --memory $(BENCH_ARGS)
	bash scripts/bench.sh bench_save.py
	bash scripts/bench.sh bench_writer.py
	$(PYTHON) bench/bench_threads.py

# Only the writers: tessarel's save_pcd against the peers' writers and the floors;
# BENCH_ARGS narrows it (see bench/bench_save.py --help).
bench-save: setup
	bash scripts/bench.sh bench_save.py $(BENCH_ARGS)

# Only the thread benchmark: two loads on two threads against one after another;
# BENCH_ARGS narrows it (see bench/bench_threads.py --help).
bench-threads: setup
	$(PYTHON) bench/bench_threads.py $(BENCH_ARGS)

# Large maps: mapped loads, chunks and field selections on sparse maps of up to 28.8 GB;
# BENCH_ARGS shrinks them (see bench/bench_maps.py --help).
bench-maps: setup
	bash scripts/bench.sh bench_maps.py $(BENCH_ARGS)

clean:
	rm -rf build dist .venv .venv-bench .venv-oldest .venv-wheel-* .deps
