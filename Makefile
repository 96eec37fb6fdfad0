PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: install test demo bench format clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build tools go into the environment so rebuilds reuse build/ and stay incremental.
install: $(PY)
	$(PY) -m pip install --quiet scikit-build-core pybind11
	$(PY) -m pip install --quiet --no-build-isolation '.[test]'

test: install
	$(PY) -m pytest -q

demo: $(PY)
	$(PY) -m pip install --quiet scikit-build-core pybind11
	$(PY) -m pip install --quiet --no-build-isolation '.[demo]'
	$(PY) -m kelvra_bci demo

bench: install
	$(PY) benchmarks/bench_fit.py
	$(PY) benchmarks/bench_predict.py
	$(PY) benchmarks/bench_update.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build $(VENV)
