# make demo · make test · make bench — each sets up what it needs on a fresh machine.
# make fuzz: the long fuzzing campaign · make sanitize: every test under ASan and UBSan ·
# make lint: ruff and clang-format checks · make docs: the documentation site.
# VENV=path uses another virtual environment (Python 3.13) instead of .venv.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
DEPS_STAMP := $(VENV)/.deps-installed
# The module frame uses nanobind's module-initialisation internals: pinned to the minor
# release they are written against.
BUILD_DEPS := scikit-build-core 'nanobind>=3.1,<3.2' cmake ninja
# The linters are pinned: another release formats or flags differently.
LINT_DEPS := 'ruff>=0.17,<0.18' 'clang-format==14.0.6'
# The documentation tools, pinned for the same reason: mkdocs.yml and the griffe extension in
# tools/ are written against these releases.
DOCS_DEPS := 'mkdocs>=1.6,<1.7' 'mkdocstrings>=1.0,<1.1' 'mkdocstrings-python>=2.0,<2.1' \
	'griffelib>=2.4,<2.5' 'mkdocs-material>=9.8,<9.9'
# Other simulators timed by `make bench` (the `bench` extra); each is optional.
BENCH_PEERS := qsimcirq qiskit-aer qulacs pennylane-lightning qiskit-machine-learning qiskit-algorithms
# Qiskit's OpenQASM readers and writers check ours in the tests, where they install.
TEST_PEERS := qiskit qiskit-qasm3-import
export MPLBACKEND := Agg

# Python 3.13: from PATH, else through pyenv.
PYTHON313 := $(shell command -v python3.13 >/dev/null 2>&1 && PYENV_VERSION=3.13.0 python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13); print(sys.executable)' 2>/dev/null)

.PHONY: demo test bench install cpp-test py-test system-deps clean fuzz sanitize cpp-sanitize \
	py-sanitize asan-package fuzz-sanitize lint docs

demo: install
	$(PY) -m norvalis

test: cpp-test py-test

bench: install
	@for peer in $(BENCH_PEERS); do \
	  $(PY) -m pip install -q $$peer 2>/dev/null || echo "note: $$peer does not install here; its column is skipped"; \
	done
	BENCH_RESULTS=$(CURDIR)/docs/speed-results.md $(PY) bench/run.py
	@for script in bench/algo_*.py bench/sdk_*.py; do \
	  [ -e "$$script" ] && BENCH_RESULTS=$(CURDIR)/docs/speed-results.md $(PY) $$script; \
	done; true

$(PY):
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (install it or put python3.13 on PATH)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)

$(DEPS_STAMP): pyproject.toml | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS) numpy scipy scikit-learn matplotlib sympy pandas pytest \
	  hypothesis 'dask[distributed]' tqdm mypy $(LINT_DEPS)
	$(PY) -m pip install -q $(TEST_PEERS) 2>/dev/null || echo "note: Qiskit does not install here; the OpenQASM tests against it are skipped"
	$(PY) -m pip install -q 'pyright[nodejs]' 2>/dev/null || echo "note: pyright does not install here; the typing tests run mypy alone"
	$(PY) -m pip install -q --no-binary mpi4py mpi4py 2>/dev/null || echo "note: mpi4py does not build here; CPUQVM(comm=...) and its tests are skipped"
	touch $@

# One CMake tree, build/dev, builds the package that is installed into the venv and the
# C++ tests that ctest runs, with -Werror over every line; a second install recompiles only
# what changed. (`pip install .` without these options builds a plain wheel, as users do.)
BUILD_DIR := build/dev
install: system-deps $(DEPS_STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) \
	  -C cmake.define.KESTRIX_BUILD_TESTS=ON .

# Open MPI, for kestrix._mpi and mpi4py (built against it, hence no wheel) and the tests
# that launch mpirun.
system-deps:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq libgtest-dev ccache; }
	@dpkg -s libopenmpi-dev openmpi-bin >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq libopenmpi-dev openmpi-bin; }

cpp-test: install
	cd $(BUILD_DIR) && ctest --output-on-failure

py-test: install
	$(PY) -m pytest

# Python by ruff; C++ by clang-format (.clang-format: 100 columns), checked, never rewritten.
lint: $(DEPS_STAMP)
	$(VENV)/bin/ruff check .
	git ls-files '*.cc' '*.h' '*.cpp' | xargs $(VENV)/bin/clang-format --dry-run -Werror

# The documentation site (mkdocs.yml) into build/docs; a warning fails the build. The API
# reference is read from the installed package's type stubs, hence `install`.
docs: install
	$(PY) -m pip install -q $(DOCS_DEPS)
	NO_MKDOCS_2_WARNING=1 $(PY) -m mkdocs build --strict

# Random good and bad calls against every public call, in batches of their own processes:
# calls, outcomes by exception type, crashes, hangs and suspect errors. FUZZ_SEED changes
# the draw; the same seed makes the same calls.
FUZZ_CALLS := 100000
FUZZ_SEED := 0
fuzz: install
	$(PY) -m pip install -q hypothesis
	$(PY) tests/support/fuzz_campaign.py --calls $(FUZZ_CALLS) --seed $(FUZZ_SEED)

# The sanitizer build: one tree, build/asan, for the C++ tests and the Python package
# (installed into build/asan-site), against which the Python tests and the fuzzing campaign
# run with the sanitizer runtimes preloaded into the interpreter, which is not built with
# them. A report of either sanitizer fails the run. That build writes no type stubs
# (stubgen would import its modules without the runtimes), so their test is left out.
SANITIZER_RUNTIMES = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: cpp-sanitize py-sanitize

SANITIZED_PYTHON = $(SANITIZER_ENV) LD_PRELOAD=$(SANITIZER_RUNTIMES) \
	PYTHONPATH=$(CURDIR)/build/asan-site $(PY)

asan-package: system-deps $(DEPS_STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target build/asan-site \
	  -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.KESTRIX_SANITIZE=ON -C cmake.define.KESTRIX_BUILD_TESTS=ON .

cpp-sanitize: asan-package
	cd build/asan && $(SANITIZER_ENV) ctest --output-on-failure

py-sanitize: asan-package
	$(SANITIZED_PYTHON) -m pytest -p no:cacheprovider --ignore=tests/test_stubs.py

# The fuzzing campaign against the sanitizer build, so that a heap overrun is caught at the
# write rather than by luck later. CI runs a short campaign: FUZZ_SANITIZE_CALLS calls.
FUZZ_SANITIZE_CALLS := 3000
fuzz-sanitize: asan-package
	$(SANITIZED_PYTHON) tests/support/fuzz_campaign.py --calls $(FUZZ_SANITIZE_CALLS) --batch 1000 \
	  --seed $(FUZZ_SEED)

clean:
	rm -rf build $(VENV)
