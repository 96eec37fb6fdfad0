PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: install test demo bench format clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build tools go into the environment so rebuilds reuse build/ and stay incremental.
# KELVRA_STRICT=1 turns compiler warnings into errors (CI sets it).
STRICT_FLAGS := $(if $(KELVRA_STRICT),--config-settings=cmake.define.KELVRA_WARNINGS_AS_ERRORS=ON)

install: $(PY)
	$(PY) -m pip install --quiet scikit-build-core pybind11
	$(PY) -m pip install --quiet --no-build-isolation $(STRICT_FLAGS) '.[test]'

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
