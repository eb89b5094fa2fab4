# Every target builds what it needs from a fresh clone: only Python 3 and a C++ compiler
# are expected on the machine.
PYTHON ?= python3
VENV := .venv
VENV_NP126 := .venv-np126
VENV_ASAN := .venv-asan
VENV_TABLE := .venv-table
SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/*) python/_tolq.pyi \
	$(wildcard python/tolq/*.py) python/tolq/py.typed

ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: test test-np126 test-asan test-table typecheck lint fuzz demo demo-plot bench bench-search ci clean

# tolq alone, with what it needs to run: all that make demo installs.
$(VENV)/.tolq: $(SOURCES)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install --quiet --upgrade pip
	$(VENV)/bin/pip install --quiet .
	touch $@

# The same environment with the test extra: the suite's peers, checkers and data libraries.
$(VENV)/.installed: $(VENV)/.tolq
	$(VENV)/bin/pip install --quiet ".[test]"
	touch $@

$(VENV_NP126)/.installed: $(SOURCES)
	$(PYTHON) -m venv $(VENV_NP126)
	$(VENV_NP126)/bin/pip install --quiet --upgrade pip
	$(VENV_NP126)/bin/pip install --quiet ".[test]" "numpy==1.26.*"
	touch $@

$(VENV_ASAN)/.installed: $(SOURCES)
	$(PYTHON) -m venv $(VENV_ASAN)
	$(VENV_ASAN)/bin/pip install --quiet --upgrade pip
	$(VENV_ASAN)/bin/pip install --quiet -Cbuild-dir=build/asan \
		-Ccmake.define.TOLQ_SANITIZE=ON ".[test]"
	touch $@

# The module built to run every slot through its type's table of entry points.
$(VENV_TABLE)/.installed: $(SOURCES)
	$(PYTHON) -m venv $(VENV_TABLE)
	$(VENV_TABLE)/bin/pip install --quiet --upgrade pip
	$(VENV_TABLE)/bin/pip install --quiet -Cbuild-dir=build/table \
		-Ccmake.define.TOLQ_TABLE_PASSES=ON ".[test]"
	touch $@

test: $(VENV)/.installed
	$(VENV)/bin/python -m pytest

test-np126: $(VENV_NP126)/.installed
	$(VENV_NP126)/bin/python -c "import numpy; assert numpy.__version__.startswith('1.26'), numpy.__version__"
	$(VENV_NP126)/bin/python -m pytest

test-asan: $(VENV_ASAN)/.installed
	$(ASAN_ENV) $(VENV_ASAN)/bin/python -m pytest -p no:cacheprovider

# The table entry points give the bits of the inline loop: the same suite, the same values.
test-table: $(VENV_TABLE)/.installed
	$(VENV_TABLE)/bin/python -m pytest -p no:cacheprovider

# Random operations and allocation-failure sweeps under the sanitizers, at length; not part of
# CI. FUZZ_OPS: calls into the module the state machine goes on for; PACKAGE_FUZZ_OPS:
# operations on models (fit, predict, save, ...) the package's two-thread fuzz goes on for.
FUZZ_OPS ?= 1000000
PACKAGE_FUZZ_OPS ?= 20000
FUZZ_REPORT := build/fuzz-report.txt
fuzz: $(VENV_ASAN)/.installed
	mkdir -p build && rm -f $(FUZZ_REPORT)
	$(ASAN_ENV) TOLQ_FUZZ=large TOLQ_FUZZ_OPS=$(FUZZ_OPS) TOLQ_FUZZ_PACKAGE_OPS=$(PACKAGE_FUZZ_OPS) \
		TOLQ_FUZZ_REPORT=$(abspath $(FUZZ_REPORT)) \
		$(VENV_ASAN)/bin/python -m pytest -p no:cacheprovider -q tests/test_fuzz_*.py \
		|| { cat $(FUZZ_REPORT) 2>/dev/null; exit 1; }
	@echo "== fuzz figures (ASan and UBSan, no report)"
	@cat $(FUZZ_REPORT)
	@awk 'match($$0, /: [0-9]+ points/) {n += substr($$0, RSTART + 2, RLENGTH - 9)} \
		END {print "allocation-failure points swept:", n}' $(FUZZ_REPORT)

# The stub matches the built module, and the package type-checks strictly, against each NumPy
# line the package supports (their stubs differ).
typecheck: $(VENV)/.installed $(VENV_NP126)/.installed
	for venv in $(VENV) $(VENV_NP126); do \
		MYPYPATH=python $$venv/bin/python -m mypy.stubtest _tolq \
			--allowlist python/stubtest_allowlist.txt && \
		MYPYPATH=python $$venv/bin/python -m mypy --strict --cache-dir build/mypy$${venv#$(VENV)} \
			-p tolq -m _tolq || exit 1; \
	done

# ruff comes with the test extra; its rules are in pyproject.toml.
lint: $(VENV)/.installed
	$(VENV)/bin/python -m ruff check python tests bench examples

demo: $(VENV)/.tolq
	$(VENV)/bin/python -m tolq demo

# The learning-curve picture of the README (installs the optional matplotlib).
demo-plot: $(VENV)/.tolq
	$(VENV)/bin/pip install --quiet ".[plot]"
	$(VENV)/bin/python -m tolq demo --no-progress --plot docs/demo.png

bench: $(VENV)/.installed
	$(VENV)/bin/pip install --quiet ".[bench]" || { \
		echo "the bench extra could not be installed whole: trying river alone"; \
		$(VENV)/bin/pip install --quiet river || echo "river could not be installed: its row is skipped"; }
	$(VENV)/bin/python bench/bench.py

bench-search: $(VENV)/.installed
	$(VENV)/bin/pip install --quiet ".[bench-search]"
	for peer in gplearn pyoperon; do \
		$(VENV)/bin/pip install --quiet ".[bench-$$peer]" || echo "$$peer could not be installed: its rows are skipped"; \
	done
	$(VENV)/bin/python bench/bench_search.py

ci: test typecheck lint test-np126 test-table test-asan

clean:
	rm -rf $(VENV) $(VENV_NP126) $(VENV_ASAN) $(VENV_TABLE) build
