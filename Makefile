# make test: build and install this checkout into .venv with its test extras, run every test.
# make demo: mesh the built-in sample segmentation and write one PLY per object to demo-out/.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CORE_BUILD := build/core-tests

.PHONY: test demo install core-tests sanitize clean

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
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

demo: install
	$(VPY) -m tarna_mesh demo demo-out

# The suite against an address/undefined-behaviour sanitizer build of the core.
sanitize: $(VPY)
	$(VENV)/bin/cmake -S . -B build/sanitize -G Ninja -DTARNA_SANITIZE=ON -DTARNA_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build build/sanitize
	build/sanitize/tarna_core_tests

clean:
	rm -rf build demo-out
