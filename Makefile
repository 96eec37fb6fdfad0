PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: install test demo bench format clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build tools live in the environment (CMake included, for machines without
# one), so that rebuilds reuse build/ and stay incremental.
BUILD_TOOLS := scikit-build-core pybind11 cmake ninja
# KELVRA_STRICT=1 turns compiler warnings into errors (CI sets it).
STRICT_FLAGS := $(if $(KELVRA_STRICT),--config-settings=cmake.define.KELVRA_WARNINGS_AS_ERRORS=ON)

install: $(PY)
	$(PY) -m pip install --quiet $(BUILD_TOOLS)
	$(PY) -m pip install --quiet --no-build-isolation $(STRICT_FLAGS) '.[test]'

test: install
	$(PY) -m pytest -q

# Where the demo writes its figure, metrics and model: make demo DEMO_OUT=/tmp/run
DEMO_OUT ?= out

demo: $(PY)
	$(PY) -m pip install --quiet $(BUILD_TOOLS)
	$(PY) -m pip install --quiet --no-build-isolation '.[demo]'
	$(PY) -m kelvra_bci demo --out $(DEMO_OUT)

bench: install
	$(PY) benchmarks/bench_fit.py
	$(PY) benchmarks/bench_predict.py
	$(PY) benchmarks/bench_update.py

format:
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build $(VENV)
