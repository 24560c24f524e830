# make demo: build everything (fetching Python 3.14 when missing) and run the demo.
# make test: build every tree and run every test suite.
# make bench: the headline benchmarks in a few minutes; make bench-full (or BENCH=full make bench):
# every table (see README).
# make wheels: manylinux2014 wheels for x86-64 and aarch64, and an sdist, into dist/.
# make soak: the agent's job under load for about 2 minutes (SOAK_SECONDS=... to change).
BUILD ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 30
MAKEFLAGS += --no-print-directory

# Sibling trees for the reliability checks that make test runs.
DEBUG_BUILD := $(BUILD)-debug
ASAN_BUILD := $(BUILD)-asan
FUZZ_BUILD := $(BUILD)-fuzz
AARCH64_BUILD := $(BUILD)-aarch64
# The modules for the python3 that Debian's mod_wsgi embeds, for the test in Apache.
MODWSGI_BUILD := $(BUILD)-modwsgi
# The call-site walk through the public frame API alone, as for an interpreter not known here.
FRAME_API_BUILD := $(BUILD)-frameapi

SOAK_SECONDS ?= 120

.PHONY: all build debug-build aarch64 check-trees demo test bench bench-full soak wheels clean

all: build

build:
	@tools/install-deps.sh
	@py=$$(tools/provision-python.sh) && \
	  cmake -S . -B $(BUILD) -DPython3_EXECUTABLE="$$py" $(CMAKE_FLAGS) >/dev/null && \
	  cmake --build $(BUILD) -j2

debug-build: build
	@pyd=$$(tools/provision-python.sh --debug) && \
	  cmake -S . -B $(DEBUG_BUILD) -DPython3_EXECUTABLE="$$pyd" -DTW_BUILD_TESTS=OFF >/dev/null && \
	  cmake --build $(DEBUG_BUILD) -j2

# The modules and stand-ins for 64-bit Arm, cross-built against an arm64 root whose python3.14
# runs here under qemu-user (tools/provision-python.sh --arch aarch64 prints it).
aarch64:
	@tools/install-deps.sh --aarch64
	@py=$$(tools/provision-python.sh --arch aarch64) && root=$${py%/usr/bin/*} && \
	  cmake -S . -B $(AARCH64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	    -DTW_AARCH64_ROOT="$$root" -DPython3_EXECUTABLE="$$py" \
	    -DPython3_INCLUDE_DIR="$$root/usr/include/python3.14" >/dev/null && \
	  cmake --build $(AARCH64_BUILD) -j2

check-trees: debug-build aarch64
	@tools/install-deps.sh --checks
	@tools/provision-python.sh --clients >/dev/null
	@pyd=$$(tools/provision-python.sh --version 3.15 --debug) && \
	  cmake -S . -B $(DEBUG_BUILD)-py3.15 -DPython3_EXECUTABLE="$$pyd" -DTW_BUILD_TESTS=OFF >/dev/null && \
	  cmake --build $(DEBUG_BUILD)-py3.15 -j2
	@py=$$(tools/provision-python.sh) && \
	  cmake -S . -B $(ASAN_BUILD) -DPython3_EXECUTABLE="$$py" -DTW_BUILD_TESTS=OFF \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTW_SANITIZE=address,undefined >/dev/null && \
	  cmake --build $(ASAN_BUILD) -j2
	@tools/install-deps.sh --modwsgi
	@version=$$(readlink -f /usr/lib/apache2/modules/mod_wsgi.so | sed 's/.*\.so-//') && \
	  cmake -S . -B $(MODWSGI_BUILD) -DPython3_EXECUTABLE=/usr/bin/python$$version -DTW_BUILD_TESTS=OFF >/dev/null && \
	  cmake --build $(MODWSGI_BUILD) -j2
	@py=$$(tools/provision-python.sh) && \
	  cmake -S . -B $(FRAME_API_BUILD) -DPython3_EXECUTABLE="$$py" -DTW_BUILD_TESTS=OFF -DTW_PUBLIC_FRAME_API=ON >/dev/null && \
	  cmake --build $(FRAME_API_BUILD) -j2
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DTW_FUZZ=ON >/dev/null && \
	  cmake --build $(FUZZ_BUILD) -j2
	@tools/matrix-pythons.sh > $(BUILD)/matrix.txt; \
	while read -r version python; do \
	  cmake -S . -B $(BUILD)-py$$version -DPython3_EXECUTABLE="$$python" -DTW_BUILD_TESTS=OFF >/dev/null && \
	  cmake --build $(BUILD)-py$$version -j2 || exit 1; \
	done < $(BUILD)/matrix.txt
	@pyd=$$(tools/provision-python.sh --debug) && pya=$$(tools/provision-python.sh --arch aarch64) && \
	  pyd315=$$(tools/provision-python.sh --version 3.15 --debug) && \
	  matrix=$$(awk -v b="$(abspath $(BUILD))" '{printf "%s%s|%s|%s-py%s", (NR>1?";":""), $$1, $$2, b, $$1}' $(BUILD)/matrix.txt) && \
	  cmake -S . -B $(BUILD) -DTW_DEBUG_BUILD_DIR="$(abspath $(DEBUG_BUILD))" -DTW_DEBUG_PYTHON="$$pyd" \
	    -DTW_ASAN_BUILD_DIR="$(abspath $(ASAN_BUILD))" -DTW_FUZZ_BUILD_DIR="$(abspath $(FUZZ_BUILD))" \
	    -DTW_FUZZ_SECONDS=$(FUZZ_SECONDS) -DTW_MATRIX="$$matrix" \
	    -DTW_AARCH64_BUILD_DIR="$(abspath $(AARCH64_BUILD))" -DTW_AARCH64_PYTHON="$$pya" \
	    -DTW_MODWSGI_BUILD_DIR="$(abspath $(MODWSGI_BUILD))" -DTW_FRAME_API_BUILD_DIR="$(abspath $(FRAME_API_BUILD))" \
	    -DTW_DEBUG_MATRIX="3.15|$$pyd315|$(abspath $(DEBUG_BUILD))-py3.15" >/dev/null

demo: build
	@"$$(tools/provision-python.sh)" demo/demo.py --build "$(BUILD)"

test: check-trees
	ctest --test-dir $(BUILD) --output-on-failure

BENCH ?= headline

bench: build
	@tools/install-deps.sh --bench
	@"$$(tools/provision-python.sh)" bench/run.py --build "$(BUILD)" $(if $(filter full,$(BENCH)),--full)

bench-full:
	@$(MAKE) bench BENCH=full

# Every wheel (see README): dist/ is emptied and filled anew.
wheels: build aarch64
	@"$$(tools/provision-python.sh)" tools/build-wheels.py --x86-build "$(BUILD)" --aarch64-build "$(AARCH64_BUILD)"

soak: debug-build
	@"$$(tools/provision-python.sh)" soak/soak.py --build "$(BUILD)" --debug-build "$(DEBUG_BUILD)" \
	  --debug-python "$$(tools/provision-python.sh --debug)" --seconds $(SOAK_SECONDS)

clean:
	rm -rf $(BUILD) $(DEBUG_BUILD) $(DEBUG_BUILD)-py3.* $(ASAN_BUILD) $(FUZZ_BUILD) $(AARCH64_BUILD) $(MODWSGI_BUILD) $(FRAME_API_BUILD) $(BUILD)-py3.*
