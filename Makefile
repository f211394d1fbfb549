# Wraps CMake. `make` builds build/mendrake, `make test` runs every test,
# `make demo` recovers a generated damaged base, `make install` puts the
# three programs and their manual pages under PREFIX, `make package` makes
# the Debian package and the Windows zip.
BUILD ?= build
CMAKE_FLAGS ?=
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
# The demo builds in a directory of its own without the tests, so that it
# runs where googletest is missing and leaves BUILD's settings alone.
DEMO_BUILD ?= $(BUILD)-demo
PREFIX ?= /usr/local
BINDIR = $(DESTDIR)$(PREFIX)/bin
MAN1DIR = $(DESTDIR)$(PREFIX)/share/man/man1
PROGRAMS = mendrake mendrake-check mendrake-export

.PHONY: all build test demo install install-built uninstall package test-package windows test-windows bench test-sanitize fuzz clean

all: build

build:
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j2 -- --no-print-directory

# Without googletest the build leaves the tests out: say so before building.
test:
	@$(CONFIGURE)
	@if [ ! -f $(BUILD)/tests/CTestTestfile.cmake ]; then \
	  echo "make test: $(BUILD) has no tests: they need googletest (Debian: apt-get install libgtest-dev) and MENDRAKE_TESTS=ON" >&2; \
	  exit 1; fi
	@cmake --build $(BUILD) -j2 -- --no-print-directory
	cd $(BUILD) && ctest --output-on-failure -j2

demo:
	@bash tools/demo.sh $(DEMO_BUILD)

install: build
	@$(MAKE) --no-print-directory install-built

# Installs what BUILD holds without building it (after `make`, as root).
install-built:
	install -d "$(BINDIR)" "$(MAN1DIR)"
	install -m 755 $(addprefix $(BUILD)/,$(PROGRAMS)) "$(BINDIR)"
	install -m 644 $(addprefix man/,$(addsuffix .1,$(PROGRAMS))) "$(MAN1DIR)"

uninstall:
	rm -f $(addprefix "$(BINDIR)"/,$(PROGRAMS)) $(addprefix "$(MAN1DIR)"/,$(addsuffix .1,$(PROGRAMS)))

# The release: $(BUILD)/mendrake_<version>_amd64.deb and
# build-win32/mendrake-<version>-win32.zip, made by CPack.
package: build
	@cmake --build $(BUILD) --target package -- --no-print-directory
	@bash tools/windows/build.sh
	@cmake --build build-win32 --target package -- --no-print-directory

# Installs, runs and removes the Debian package (as root), unpacks the zip
# and runs its programs under Wine.
test-package: package
	@bash tests/package/run.sh

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
