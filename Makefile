# Every target bootstraps .venv itself: nothing needs to be installed by hand.
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: install lint test docs demo bench bench-large clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip

$(DEPS): requirements-dev.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r requirements-dev.txt
	touch $@

# Rebuilds incrementally: scikit-build-core keeps its CMake tree under build/.
install: $(DEPS)
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps .

# Lint and format check of every Python file (the configuration is in pyproject.toml).
lint: $(DEPS)
	$(BIN)/ruff check .
	$(BIN)/ruff format --check .

# The docs build (about 10 s) runs as a strict check too: a guide example that no longer
# runs fails the tests.
# Two worker processes: the suite is mostly Python around small solves, and on two cores it
# takes about 4.5 minutes this way against 5.2 in one process.
test: install lint
	$(BIN)/python -m pytest -n 2
	$(MAKE) docs

# The documentation site into site/: the API pages from the docstrings, every example of the
# guide run (figures drawn with matplotlib's Agg backend); any warning, a failing example
# among them, fails the build (--strict; not with --quiet, which hides the warning of a
# failed example from the strict count). mkdocs runs through the venv's python, so a copied
# venv's scripts cannot run another checkout's package.
docs: install
	MPLBACKEND=Agg NO_MKDOCS_2_WARNING=1 $(BIN)/python -m mkdocs build --strict

demo: install
	$(BIN)/python examples/wage_panel.py
	$(BIN)/python examples/gravity.py

bench: install
	$(BIN)/python benchmarks/run.py

bench-large: install
	$(BIN)/python benchmarks/run.py --large

clean:
	rm -rf build $(VENV) .pytest_cache site
