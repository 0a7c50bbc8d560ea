# Top-level entry points; the real build is CMake.
JOBS ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

PREFIX ?= /usr/local

.PHONY: all build test asan demo fuzz bench install clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKORV_TESTS=ON
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build $(CTEST_FLAGS)

asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKORV_SANITIZE=ON -DKORV_TESTS=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

demo: build
	@bash examples/demo.sh build/korvalix

fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKORV_FUZZ=ON -DKORV_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)

bench: build
	@bash bench/run.sh build/korvalix

install: build
	cmake --install build --prefix "$(PREFIX)"

clean:
	rm -rf build build-asan build-fuzz
