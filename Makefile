# Everything starts here: `make run` starts the window, `make test` runs every test.
# Both install what is missing (scripts/install-deps.sh), configure and build first; `make run`
# installs and builds only what the window and the converter need, `make test` everything.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
CONFIGURE  := cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-run deps-package configure configure-tests build build-tests run test \
        test-asan test-tsan fuzz bench package clean

all: build

deps:
	bash scripts/install-deps.sh test

deps-run:
	bash scripts/install-deps.sh run

deps-package:
	bash scripts/install-deps.sh package

# A new build folder holds the programs only; `make test` (or `make bench`) adds the tests,
# and the folder keeps them from then on.
$(BUILD)/build.ninja:
	$(CONFIGURE) -DGLINTWISE_BUILD_TESTS=OFF

configure: deps-run $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

configure-tests: deps
	$(CONFIGURE) -DGLINTWISE_BUILD_TESTS=ON

build-tests: configure-tests
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/glintwise

# The normal build's tests, then the core tests (image layer, DICOM reader, converter core,
# fuzz corpus replay) again under AddressSanitizer and UndefinedBehaviorSanitizer.
test: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) test-asan

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DGLINTWISE_SANITIZE=ON -DGLINTWISE_BUILD_APP=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLINTWISE_TSAN=ON -DGLINTWISE_BUILD_APP=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -L tsan

# libFuzzer targets (clang); run one with e.g. build-fuzz/fuzz/bmp_fuzzer -max_total_time=60 fuzz/corpus/bmp
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGLINTWISE_FUZZ=ON -DGLINTWISE_BUILD_APP=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

bench: build-tests
	bash bench/run.sh $(BUILD)

# The Debian package glintwise_VERSION_ARCH.deb, left in this folder (sudo apt install
# ./glintwise_*.deb). The build folder is reconfigured as it is, so help2man is found.
package: deps-package $(BUILD)/build.ninja
	cmake -S . -B $(BUILD)
	cmake --build $(BUILD) -j $(JOBS)
	rm -rf $(BUILD)/package
	cd $(BUILD) && cpack -G DEB -B $(abspath $(BUILD))/package
	cp $(BUILD)/package/glintwise_*.deb .

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) build-tsan
