# Wraps CMake. `make` builds build/mendrake, `make test` runs every test,
# `make demo` recovers a generated damaged base.
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all build test demo windows test-windows bench test-sanitize fuzz clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j2 -- --no-print-directory

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

demo: build
	@bash tools/demo.sh $(BUILD)

# The 32-bit Windows build (MinGW-w64) and its tests under Wine.
windows:
	@bash tools/windows/build.sh

test-windows: windows build
	@bash tests/windows/run.sh

# Speed against the machine's own limit (cat); writes bench/RESULTS.md.
bench: build
	@bash bench/run.sh $(BUILD)

# Every test under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	@bash tests/sanitize/run.sh

# Each fuzz target for FUZZ_SECONDS (default 60).
fuzz:
	@bash tests/fuzz/run.sh

clean:
	rm -rf $(BUILD) build-*
