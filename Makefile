# make test: build and install this checkout into .venv with its test extras, run every test.
# make sanitize: every test again against an address/undefined-behaviour sanitizer build.
# make fuzz: the argument fuzz tests at 25,000 cases each (10^5 in all) on the installed build.
# make format: lay out the C++ sources with clang-format and the Python ones with ruff.
# make demo: mesh the built-in sample segmentation; one PLY per object and preview.png in demo-out/.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CORE_BUILD := build/core-tests

.PHONY: test demo install core-tests sanitize fuzz format clean

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

install: $(VPY)
	$(VPY) -m pip install --quiet ".[test]"

core-tests: $(VPY)
	$(VPY) -m pip install --quiet numpy cmake ninja
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DTARNA_CORE_TESTS=ON -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD) --target tarna_core_tests
	$(CORE_BUILD)/tarna_core_tests

test: install core-tests
	$(VPY) -m pytest -q -p no:cacheprovider

format: $(VPY)
	$(VPY) -m pip install --quiet ruff clang-format
	$(VENV)/bin/clang-format -i src/*.cpp src/*.hpp tests/core/*.cpp tests/core/*.hpp
	$(VENV)/bin/ruff format .
	$(VENV)/bin/ruff check --fix .

demo: $(VPY)
	$(VPY) -m pip install --quiet ".[cli]"
	$(VPY) -m tarna_mesh demo demo-out

# Every test against an address/undefined-behaviour sanitizer build (the interpreter itself is not
# instrumented, so the runtime is preloaded and leak checking is off).
sanitize: install
	$(VPY) -m pip install --quiet cmake ninja
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DTARNA_SANITIZE=ON -DTARNA_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build build/sanitize
	build/sanitize/tarna_core_tests
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build/sanitize $(VPY) -m pytest -q -p no:cacheprovider

fuzz: install
	TARNA_FUZZ_EXAMPLES=25000 $(VPY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py --hypothesis-show-statistics

clean:
	rm -rf build demo-out
