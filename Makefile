# Thin front over CMake: every target installs the Debian packages it lacks, then builds.
# `make help` lists the targets.

MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ENSURE := scripts/ensure-packages.sh
BUILD_PKGS := g++ cmake make
TEST_PKGS := $(BUILD_PKGS) libgtest-dev
BENCH_PKGS := $(BUILD_PKGS) libbenchmark-dev time
WINDOWS_PKGS := cmake make g++-mingw-w64-x86-64-posix
WINE_PKGS := $(WINDOWS_PKGS) wine64

.PHONY: help build demo test test-release test-sanitize windows test-windows bench format clean

help: ## List the targets
	@grep -E '^[a-z-]+:.*## ' $(MAKEFILE_LIST) | sed 's/:.*## /\t/' | expand -t 16

build: ## Release build; executables land in build/bin/
	@$(ENSURE) $(TEST_PKGS)
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

demo: build ## Make a sample dump in demo/ and walk it (answer 2048, 64, 64)
	@mkdir -p demo
	rm -f demo/Dump.bin demo/Dump_New.bin
	build/bin/pagolinth-sample demo/Dump.bin
	@echo
	@echo "Sample dump: demo/Dump.bin (64 pages of 2112 bytes). Answer 2048, 64 and 64."
	@echo "Press any key for the next sector; Ctrl-C ends the walk."
	@echo
	cd demo && ../build/bin/pagolinth

test: test-release test-sanitize ## Build and run every test, plain and under ASan/UBSan

test-release: build
	ctest --preset release -j $(JOBS)

test-sanitize:
	@$(ENSURE) $(TEST_PKGS)
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)

windows: ## Cross-build the Windows executables into build-windows/bin/
	@$(ENSURE) $(WINDOWS_PKGS)
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

test-windows: windows build ## Run the end-to-end dialogue test against the .exe under Wine
	@$(ENSURE) $(WINE_PKGS)
	tests/console/dialogue_wine_test.sh build-windows/bin/pagolinth.exe build/bin

bench: ## Build and run the benchmarks and the memory measurement
	@$(ENSURE) $(BENCH_PKGS)
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@if [ -x build-bench/bin/pagolinth-bench-bch ]; then build-bench/bin/pagolinth-bench-bch; fi
	bench/dialogue_memory.sh build-bench/bin

format: ## Reformat the sources with clang-format
	find console bch tools tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean: ## Remove every build folder and the demo
	rm -rf build build-sanitize build-bench build-windows demo
