# Thin front over CMake: every target installs the Debian packages it lacks, then builds.
# `make help` lists the targets.

MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ENSURE := scripts/ensure-packages.sh
BUILD_PKGS := g++ cmake make libcli11-dev libtomlplusplus-dev libssl-dev nlohmann-json3-dev
DEMO_PKGS := $(BUILD_PKGS)
TEST_PKGS := $(BUILD_PKGS) libgtest-dev chromium iverilog ghdl pkg-config
# dpkg-shlibdeps (dpkg-dev) finds the package's Depends; CPack runs file on every packaged file.
PACKAGE_PKGS := $(BUILD_PKGS) dpkg-dev file
BENCH_PKGS := $(BUILD_PKGS) libbenchmark-dev time
WINDOWS_PKGS := cmake make libcli11-dev libtomlplusplus-dev nlohmann-json3-dev g++-mingw-w64-x86-64-posix
WINE_PKGS := $(WINDOWS_PKGS) wine64
FORMAT_PKGS := clang-format
FUZZ_PKGS := clang libclang-rt-14-dev cmake make libcli11-dev libtomlplusplus-dev libssl-dev nlohmann-json3-dev

.PHONY: help build demo test test-release test-sanitize validate install package windows test-windows \
        bench format clean

help: ## List the targets
	@grep -E '^[a-z-]+:.*## ' $(MAKEFILE_LIST) | sed 's/:.*## /\t/' | expand -t 16

build: ## Release build; executables land in build/bin/
	@$(ENSURE) $(TEST_PKGS)
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

# The demo builds only the three programs it runs, without the tests, into the same build/
# as `build`: no GoogleTest to install and no test programs to compile before the first question.
demo: ## Make a sample dump in demo/ (real ECC, a few bit errors) and walk it
	@$(ENSURE) $(DEMO_PKGS)
	cmake --preset demo >/dev/null
	cmake --build --preset demo -j $(JOBS)
	@mkdir -p demo
	rm -f demo/*.bin demo/*.csv demo/*.svg demo/*.audit.json
	build/bin/pagolinth-sample demo/Dump_Raw.bin
	build/bin/pagolinth-ecc encode demo/Dump_Raw.bin -o demo/Dump_Encoded.bin >/dev/null
	build/bin/pagolinth-ecc inject demo/Dump_Encoded.bin -o demo/Dump.bin --flips 0-2 --seed 2026 >/dev/null
	rm demo/Dump_Raw.bin
	@echo
	@echo "Sample dump: demo/Dump.bin (64 pages of 2112 bytes, ECC with 0 to 2 bit errors per sector)."
	@echo "Answer 2048, 64 and 64. Press any key for the next sector; Ctrl-C ends the walk."
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

# A lab's own check of its build: a fixed corpus, every command, every output compared with
# bytes computed apart from the engine (validate/validate.cpp; README, "Validation run"). Its
# work folder is its own: build/validate is CMake's folder for validate/, which it would refuse.
validate: build ## Run the validation run on the release build and print its result page
	build/bin/pagolinth-validate build/bin layouts tests/bch/generator_polynomials.txt \
	  tests/codec/custom_polynomials.txt build/validation

# Installing and packaging build the demo's configuration (no tests, so no GoogleTest) into
# build/, but all of its programs and libraries, not only the demo's three.
install: ## Install programs, libraries, headers, CMake and pkg-config files under PREFIX=DIR
	@if [ -z "$(PREFIX)" ]; then \
	  echo "make install needs the folder to install into, e.g. make install PREFIX=/usr/local" >&2; \
	  exit 1; \
	fi
	@$(ENSURE) $(BUILD_PKGS)
	cmake --preset demo >/dev/null
	cmake --build build -j $(JOBS)
	cmake --install build --prefix "$(PREFIX)"

package: ## Build the Debian package of the four programs, build/pagolinth_VERSION_ARCH.deb
	@$(ENSURE) $(PACKAGE_PKGS)
	cmake --preset demo >/dev/null
	cmake --build build -j $(JOBS)
	cd build && cpack -G DEB

windows: ## Cross-build the Windows executables into build-windows/bin/
	@$(ENSURE) $(WINDOWS_PKGS)
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

test-windows: windows build ## Run the end-to-end tests of the .exe files under Wine
	@$(ENSURE) $(WINE_PKGS)
	tests/console/dialogue_wine_test.sh build-windows/bin/pagolinth.exe build/bin
	tests/tools/pagolinth_ecc_wine_test.sh build-windows/bin/pagolinth-ecc.exe build/bin

bench: ## Build and run the benchmarks and the memory measurement
	@$(ENSURE) $(BENCH_PKGS)
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	build-bench/bin/pagolinth-bench-bch
	build-bench/bin/pagolinth-bench-codec
	bench/dialogue_memory.sh build-bench/bin
	bench/ecc_check.sh build-bench/bin
	bench/combine_speed.sh build-bench/bin
	build-bench/bin/pagolinth-bench-combine
	build-bench/bin/pagolinth-bench-xor-key

format: ## Reformat every C++ source and header with clang-format
	@$(ENSURE) $(FORMAT_PKGS)
	find . \( -path './build*' -o -path ./.git -o -path ./demo \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | xargs clang-format -i

clean: ## Remove every build folder and the demo
	rm -rf build build-sanitize build-bench build-windows build-fuzz demo

.PHONY: fuzz
fuzz: ## Build the fuzz targets (clang, ASan/UBSan) and run each for FUZZ_SECONDS (default 60)
	@$(ENSURE) $(FUZZ_PKGS)
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)
