# Every target sets up what it needs first; see scripts/setup.sh.
PYTHON := .venv/bin/python
FILE ?=

.PHONY: setup run test bench clean

setup:
	@bash scripts/setup.sh

run: setup
	$(PYTHON) examples/summary.py $(if $(FILE),$(FILE),examples/*.pcd)

test: setup
	$(PYTHON) -m pytest -q

bench: setup
	$(PYTHON) bench/bench_load.py

clean:
	rm -rf build .venv .deps
