PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: install test lint demo bench format asan clean

# The interpreter is checked before the environment is made, so that an old
# Python or a missing venv module is named instead of failing halfway.
$(PY):
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null || { \
	  echo "kelvra_bci needs Python 3.11 or newer; '$(PYTHON)' is $$($(PYTHON) --version 2>/dev/null || echo not found)." >&2; \
	  echo "Install one and run: make PYTHON=python3.11" >&2; exit 1; }
	@$(PYTHON) -c 'import ensurepip, venv' 2>/dev/null || { \
	  echo "'$(PYTHON) -m venv' is not available. On Debian/Ubuntu: apt install python3-venv" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The build tools live in the environment (CMake included, whatever the machine
# has), so that every build uses the same ones and rebuilds reuse build/. The
# versions are the ones CI has built with; raise them together with
# pyproject.toml's bounds.
BUILD_TOOLS := scikit-build-core==1.1.2 pybind11==3.1.0 cmake==4.4.5 ninja==1.13.2
RUFF := ruff==0.17.6
# Pinned like ruff: another clang-format release may lay out the same code
# differently, and lint would fail on code nobody changed.
CLANG_FORMAT := clang-format==23.1.5
# KELVRA_STRICT=1 turns compiler warnings into errors (CI sets it).
STRICT_FLAGS := $(if $(KELVRA_STRICT),--config-settings=cmake.define.KELVRA_WARNINGS_AS_ERRORS=ON)

install: $(PY)
	$(PY) -m pip install --quiet $(BUILD_TOOLS)
	$(PY) -m pip install --quiet --no-build-isolation $(STRICT_FLAGS) '.[test,eeg,live]'

lint: $(PY)
	$(PY) -m pip install --quiet $(RUFF) $(CLANG_FORMAT)
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

test: lint install
	$(PY) -m pytest -q

# Where the demo writes its figure, metrics and model: make demo DEMO_OUT=/tmp/run
DEMO_OUT ?= out

demo: $(PY)
	$(PY) -m pip install --quiet $(BUILD_TOOLS)
	$(PY) -m pip install --quiet --no-build-isolation '.[demo]'
	$(PY) -m kelvra_bci demo --out $(DEMO_OUT)

# The engine beside the modules and scikit-learn, the online stream, then the
# quality of the estimator beside scikit-learn's classifiers (cross-validation, streams);
# bench_fit/predict/update time the modules alone.
bench: install
	$(PY) benchmarks/bench_engine.py
	$(PY) benchmarks/bench_online.py
	$(PY) benchmarks/bench_quality.py

format: $(PY)
	$(PY) -m pip install --quiet $(CLANG_FORMAT) $(RUFF)
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')
	$(VENV)/bin/ruff format .

# Opt-in: the extensions built with AddressSanitizer and UndefinedBehaviorSanitizer
# in an environment and build folder of their own, then the tests that reach the
# C++. The interpreter is not instrumented, so the ASan runtime is preloaded,
# and libstdc++ with it: the interpreter does not link libstdc++, and ASan
# finds no __cxa_throw to intercept and aborts at the first C++ exception
# when libstdc++ arrives later with an extension. CPython and JAX keep memory
# until exit by design, so leak reports are off.
# Any report of either sanitizer ends the run.
ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
ASAN_TESTS ?= tests/models/kelvra_softmax
CXX ?= c++

asan: $(PY)
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install --quiet --upgrade pip
	$(ASAN_PY) -m pip install --quiet $(BUILD_TOOLS)
	$(ASAN_PY) -m pip install --quiet --no-build-isolation \
	  --config-settings=build-dir=build/asan \
	  --config-settings=cmake.build-type=RelWithDebInfo \
	  --config-settings=cmake.define.CMAKE_CXX_FLAGS="$(ASAN_FLAGS)" \
	  --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="$(ASAN_FLAGS)" \
	  --config-settings=cmake.define.KELVRA_WARNINGS_AS_ERRORS=ON '.[test]'
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(ASAN_PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
