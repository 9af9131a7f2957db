# Thin driver over CMake. Written for both GNU make and BSD make: plain
# variables and targets, no functions or conditionals of either dialect.

PORT ?= 8080
JOBS ?= 2

.PHONY: all build run check bench fuzz clean

all: build

build:
	cmake --preset release >/dev/null
	cmake --build --preset release -j ${JOBS}

# Serves the current directory on 127.0.0.1 and ::1, port ${PORT}.
run: build
	./build/release/corvansel ${PORT}

# Every test, in the debug build (g++) and the sanitizer build (clang).
check:
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j ${JOBS}
	ctest --preset dev
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j ${JOBS}
	ctest --preset asan

bench: build
	bash bench/run.sh

clean:
	rm -rf build
