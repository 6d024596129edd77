# Top-level entry points.  Every target installs what is missing first.
#   make run        build and start the camera (record + stream)
#   make test       build and run the test suite
#   make test-asan  the suite under AddressSanitizer + UBSan, plus fuzzers
#   make test-tsan  the suite under ThreadSanitizer
#   make bench      benchmarks (figures, not pass/fail)
#   make cross-test the libraries' unit tests built for the camera's CPU
#                   (ARMv5TE, soft float) and run under qemu-arm

JOBS ?= $(shell nproc)
# The plain suite mostly waits on real-time media (daemons capture at 25
# pictures a second) and keeps about 40 % of the cores busy at one test per
# core; two per core finish it sooner.  The sanitizer runs use every cycle.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
CMAKE_FLAGS ?=
RECORD_DIR ?= /mnt/TVR_RECORD

.PHONY: all deps build build-armel run test test-asan test-tsan bench cross-test clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

run: build
	mkdir -p $(RECORD_DIR)
	./build/bin/tavrocam record rtsp

test: build
	cd build && ctest --output-on-failure -j $(TEST_JOBS) --timeout 600

build-asan: deps
	cmake -S . -B build-asan -DSANITIZE=address -DTVR_BUILD_FUZZERS=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -LE 'long|realtime'

build-tsan: deps
	cmake -S . -B build-tsan -DSANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)

test-tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) --timeout 900 -LE 'long|realtime'

bench: build
	cmake --build build --target bench_all -j $(JOBS)
	bash scripts/run-bench.sh build

build-armel: deps
	cmake -S . -B build-armel -DCMAKE_TOOLCHAIN_FILE=cmake/armel-toolchain.cmake $(CMAKE_FLAGS)
	cmake --build build-armel -j $(JOBS)

cross-test: build-armel
	cd build-armel && ctest --output-on-failure -j $(JOBS) --timeout 900

clean:
	rm -rf build build-asan build-tsan build-armel
