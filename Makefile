# make demo: build everything (fetching Python 3.14 when missing) and run the demo.
# make test: build and run every test suite.
BUILD ?= build
CMAKE_FLAGS ?=
MAKEFLAGS += --no-print-directory

.PHONY: all build demo test bench clean

all: build

build:
	@tools/install-deps.sh
	@py=$$(tools/provision-python.sh) && \
	  cmake -S . -B $(BUILD) -DPython3_EXECUTABLE="$$py" $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build $(BUILD) -j2

demo: build
	@"$$(tools/provision-python.sh)" demo/demo.py --build "$(BUILD)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure

clean:
	rm -rf $(BUILD)

bench: build
	@tools/install-deps.sh --bench
	@"$$(tools/provision-python.sh)" bench/run.py --build "$(BUILD)"
