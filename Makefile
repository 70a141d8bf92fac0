# Every target bootstraps .venv itself: nothing needs to be installed by hand.
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: install test demo bench bench-large clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip

$(DEPS): requirements-dev.txt | $(BIN)/python
	$(BIN)/python -m pip install --quiet -r requirements-dev.txt
	touch $@

# Rebuilds incrementally: scikit-build-core keeps its CMake tree under build/.
install: $(DEPS)
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps .

test: install
	$(BIN)/python -m pytest

demo: install
	$(BIN)/python examples/wage_panel.py

bench: install
	$(BIN)/python benchmarks/run.py

bench-large: install
	$(BIN)/python benchmarks/run.py --large

clean:
	rm -rf build $(VENV) .pytest_cache
