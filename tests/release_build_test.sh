#!/bin/sh
# Builds the source tree the way a packager does, with a plain configure
# (Release, tests included, no preset), once with each compiler given, and
# fails on any warning in the output. Such a build has no -Werror, so this
# is what keeps its log clean: the optimiser at -O2 sees more than the
# Debug build of the presets and warns about things that one never does.
#
# usage: release_build_test.sh source-dir compiler...
set -eu
src=$1
shift
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# make check runs this under make, whose jobserver flags must not reach the
# inner build; flags from the environment would make it another build.
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES GNUMAKEFLAGS
unset CXXFLAGS CPPFLAGS LDFLAGS CXX
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for cxx in "$@"; do
    build="$tmp/$cxx"
    log="$tmp/$cxx.log"
    # The source tree stays untouched: everything goes to the build folder.
    if ! { cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CXX_COMPILER="$cxx" &&
        cmake --build "$build" -j 2; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "$cxx: the Release build failed"
        continue
    fi
    if grep -i -B 2 -A 8 'warning' "$log" >&2; then
        fail "$cxx: the Release build warns"
    fi
    [ -x "$build/corvansel" ] && [ -x "$build/unit_tests" ] &&
        [ -x "$build/binary_tests" ] || fail "$cxx: a program was not built"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "release build: no warning with $*"
