#!/bin/sh
# Installs into a scratch DESTDIR with each make on the machine and checks
# what lands where: the program runs, the page renders with man -l, the
# FreeBSD layout puts the page in man/man1, and uninstall removes both.
#
# usage: install_test.sh source-dir binary
set -eu
src=$1
binary=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# make check runs this under make: the inner makes must not take its flags
# (a GNU jobserver means nothing to BSD make).
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES GNUMAKEFLAGS
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

makes=make
if command -v bmake >/dev/null; then
    makes="make bmake"
else
    echo "bmake not found: BSD make not tested" >&2
    # CI installs every tool (.ci/install-deps): there a missing one fails.
    [ "${CI:-}" != true ] || exit 1
fi

# A uname that claims FreeBSD, for the layout test.
mkdir -p "$tmp/freebsd"
printf '#!/bin/sh\necho FreeBSD\n' >"$tmp/freebsd/uname"
chmod +x "$tmp/freebsd/uname"

for mk in $makes; do
    dest="$tmp/$mk"
    if ! "$mk" -C "$src" install DESTDIR="$dest" BINARY="$binary" \
        >"$tmp/out" 2>&1; then
        cat "$tmp/out" >&2
        fail "$mk install"
        continue
    fi
    prog="$dest/usr/local/bin/corvansel"
    page="$dest/usr/local/share/man/man1/corvansel.1"
    [ "$(stat -c %a "$prog")" = 755 ] || fail "$mk: program mode"
    [ "$(stat -c %a "$page")" = 644 ] || fail "$mk: page mode"
    cmp -s "$binary" "$prog" || fail "$mk: program differs from $binary"
    cmp -s "$src/corvansel.1" "$page" || fail "$mk: page differs"

    # The installed program runs: -h prints the release and exits 1.
    status=0
    "$prog" -h >/dev/null 2>"$tmp/help" || status=$?
    [ "$status" = 1 ] || fail "$mk: installed -h exited $status"
    grep -q '^release: 3\.5$' "$tmp/help" || fail "$mk: installed -h"

    # The page renders with man-db and groff, with no warning.
    if MANWIDTH=80 man --warnings -l "$page" >"$tmp/man" 2>"$tmp/man.err" &&
        [ ! -s "$tmp/man.err" ] &&
        grep -q 'corvansel .* small read-only static file server' "$tmp/man" &&
        grep -q '^EXIT STATUS' "$tmp/man"; then
        :
    else
        cat "$tmp/man.err" >&2
        fail "$mk: man -l does not render the page"
    fi

    "$mk" -C "$src" uninstall DESTDIR="$dest" >/dev/null 2>&1 ||
        fail "$mk uninstall"
    [ ! -e "$prog" ] && [ ! -e "$page" ] ||
        fail "$mk uninstall left files behind"

    # PREFIX, and the FreeBSD layout.
    dest="$tmp/$mk-freebsd"
    PATH="$tmp/freebsd:$PATH" "$mk" -C "$src" install DESTDIR="$dest" \
        PREFIX=/opt/cv BINARY="$binary" >/dev/null 2>&1 ||
        fail "$mk install on FreeBSD"
    [ -x "$dest/opt/cv/bin/corvansel" ] || fail "$mk: PREFIX not honoured"
    [ -f "$dest/opt/cv/man/man1/corvansel.1" ] ||
        fail "$mk: FreeBSD page not in man/man1"
    [ ! -e "$dest/opt/cv/share" ] || fail "$mk: FreeBSD install made share/"
    PATH="$tmp/freebsd:$PATH" "$mk" -C "$src" uninstall DESTDIR="$dest" \
        PREFIX=/opt/cv >/dev/null 2>&1 || fail "$mk uninstall on FreeBSD"
    [ ! -e "$dest/opt/cv/man/man1/corvansel.1" ] ||
        fail "$mk: FreeBSD uninstall left the page"

    # Without a built program, install refuses and installs nothing.
    dest="$tmp/$mk-missing"
    if "$mk" -C "$src" install DESTDIR="$dest" BINARY="$tmp/none" \
        >/dev/null 2>&1; then
        fail "$mk install succeeded without a program"
    fi
    [ ! -e "$dest" ] || fail "$mk install without a program wrote files"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "install: all checks passed with $makes"
