# Thin driver over CMake. Written for both GNU make and BSD make: plain
# variables and targets, no functions or conditionals of either dialect.

PORT ?= 8080
DIR ?= .
JOBS ?= 2
# The program that run starts and install installs, and what run makes
# first: a test names the binary it has just built and leaves BUILD_FIRST
# empty.
BINARY ?= build/release/corvansel
BUILD_FIRST ?= build

.PHONY: all build run check bench order fuzz clean image

all: build

build:
	cmake --preset release >/dev/null
	cmake --build --preset release -j ${JOBS}

# Serves ${DIR}, the current directory unless given, on 127.0.0.1 and ::1,
# port ${PORT}.
# The server leads a process group of its own, and a terminal's Ctrl-C
# signals only the foreground group, make's and this shell's: the shell
# passes the signal on and waits for the server, so that make ends with it.
run: ${BUILD_FIRST}
	@'${BINARY}' -d '${DIR}' ${PORT} & pid=$$!; \
	trap 'kill $$pid; wait $$pid; exit 1' INT HUP QUIT TERM; \
	wait $$pid

# The container image of dist/container/Containerfile, tagged ${IMAGE}.
# It takes the static release binary, the one program that runs in an
# image with no C library, from a build context of its own that holds that
# file alone, rather than the source tree with its builds; a binary with a
# program interpreter is linked dynamically (no lld) and is refused. podman,
# or docker where podman is missing; CONTAINER_TOOL names either.
IMAGE ?= corvansel
CONTAINER_TOOL ?=

image: build
	@if readelf -l build/release/corvansel | grep -q INTERP; then \
	    echo 'build/release/corvansel is linked dynamically: an image from scratch has no C library for it' >&2; \
	    exit 1; \
	fi
	rm -rf build/image
	mkdir -p build/image
	cp build/release/corvansel build/image/corvansel
	@tool='${CONTAINER_TOOL}'; \
	if [ -z "$$tool" ]; then \
	    if command -v podman >/dev/null; then tool=podman; \
	    elif command -v docker >/dev/null; then tool=docker; \
	    else echo 'make image needs podman or docker' >&2; exit 1; fi; \
	fi; \
	echo "$$tool build -f dist/container/Containerfile -t ${IMAGE} build/image"; \
	"$$tool" build -f dist/container/Containerfile -t '${IMAGE}' build/image

# Every test, in the debug build (g++) and the sanitizer build (clang).
# Installs first whatever tools a fresh machine lacks.
check:
	bash .ci/install-deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j ${JOBS}
	ctest --preset dev
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j ${JOBS}
	ctest --preset asan

bench:
	BENCH_INSTALL_ONLY=1 bash bench/run.sh
	${MAKE} build
	bash bench/run.sh

# Rewrites server/worker.order, the list of functions a worker runs that
# the release link places side by side (needs valgrind). The build after it
# links with the new list.
order: build
	bash bench/order.sh
	${MAKE} build

# Every fuzz target for FUZZ_SECONDS each, in the sanitizer build. New
# inputs collect in build/asan/fuzz/corpus and a crash input in
# build/asan/fuzz/artifacts; add that one to fuzz/corpus once it is fixed.
FUZZ_SECONDS ?= 60

fuzz:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j ${JOBS}
	sh fuzz/run.sh build/asan ${FUZZ_SECONDS}

clean:
	rm -rf build

# Installation, with PREFIX and DESTDIR as usual, of BINARY. The page
# goes to share/man/man1, or to man/man1 on FreeBSD, where local pages have
# long lived; MAN1DIR overrides both. The shell makes that choice, since the
# two makes share no syntax for conditionals.
PREFIX ?= /usr/local
MAN1DIR ?=

.PHONY: install uninstall

install:
	@test -x '${BINARY}' || { echo '${BINARY} is missing: run make build first' >&2; exit 1; }
	man1dir='${MAN1DIR}'; \
	if [ -z "$$man1dir" ]; then \
	    if [ "$$(uname -s)" = FreeBSD ]; then man1dir='${PREFIX}/man/man1'; \
	    else man1dir='${PREFIX}/share/man/man1'; fi; \
	fi; \
	install -d '${DESTDIR}${PREFIX}/bin' "${DESTDIR}$$man1dir" && \
	install -m 0755 '${BINARY}' '${DESTDIR}${PREFIX}/bin/corvansel' && \
	install -m 0644 corvansel.1 "${DESTDIR}$$man1dir/corvansel.1"

uninstall:
	man1dir='${MAN1DIR}'; \
	if [ -z "$$man1dir" ]; then \
	    if [ "$$(uname -s)" = FreeBSD ]; then man1dir='${PREFIX}/man/man1'; \
	    else man1dir='${PREFIX}/share/man/man1'; fi; \
	fi; \
	rm -f '${DESTDIR}${PREFIX}/bin/corvansel' "${DESTDIR}$$man1dir/corvansel.1"
