#!/usr/bin/env bash
# The Debian package in debian/, end to end on this machine:
# dpkg-buildpackage builds it from a copy of the source tree with Debian's
# compiler flags and no warning, leaving in the tree only what .gitignore
# names; lintian finds nothing, dpkg installs it without enabling the
# service, the settings in /etc/default/corvansel survive a reinstall, the
# installed program serves a file when started the way its unit starts it,
# and a purge leaves no file behind. It installs a package on the machine,
# so it needs root; in CI (CI=true) it never skips.
#
# usage: deb_test.sh source-dir
set -u
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
pid=
installed=
cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    [ -z "$installed" ] || dpkg --purge corvansel >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT
# make check runs this under make, whose jobserver flags must not reach the
# package's build; flags from the environment would make it another build.
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES GNUMAKEFLAGS
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS CXX DEB_BUILD_PROFILES
# The package's build would run the unit tests and the tests of the
# program once more, as make check has just done with its own builds: the
# package is the same without, and this tests the package.
export DEB_BUILD_OPTIONS="nocheck parallel=2"

die() {
    echo "FAIL: $*" >&2
    exit 1
}
cannot_run() {
    [ "${CI:-}" != true ] || die "$*"
    echo "deb: skipped: $*" >&2
    exit 77
}
for tool in dpkg-buildpackage dh lintian curl readelf systemd-analyze; do
    command -v "$tool" >/dev/null ||
        cannot_run "$tool is missing (bash .ci/install-deps installs it)"
done
[ "$(id -u)" = 0 ] || cannot_run "installing a package needs root"
if dpkg-query -W -f='${db:Status-Status}' corvansel 2>/dev/null |
    grep -qv '^not-installed$'; then
    cannot_run "a corvansel package is on this machine; this would purge it"
fi

# --- Build, from a copy so that the checkout and its build/ stay as they are.
tree="$tmp/corvansel"
mkdir "$tree"
tar -C "$src" --exclude=./.git --exclude=./build -cf - . | tar -C "$tree" -xf -
(cd "$tree" && find . ! -type d) | sort >"$tmp/files.before"
(cd "$tree" && dpkg-checkbuilddeps) >"$tmp/deps" 2>&1 ||
    cannot_run "$(cat "$tmp/deps")"
if ! (cd "$tree" && dpkg-buildpackage -us -uc -b) \
    </dev/null >"$tmp/build.log" 2>&1; then
    tail -n 60 "$tmp/build.log" >&2
    die "dpkg-buildpackage"
fi
# Compilers and the dpkg tools alike write "file:line: warning:" or
# "tool: warning:".
if grep -B 3 -A 6 ': warning:' "$tmp/build.log" >&2; then
    die "the package's build warns"
fi
# Whoever builds the package in a checkout must not find its by-products
# among the files that git offers to add.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$tree" && find . ! -type d) | sort |
        comm -13 "$tmp/files.before" - | sed 's#^\./##' >"$tmp/files.new"
    git -C "$src" check-ignore --no-index --stdin <"$tmp/files.new" |
        sort | comm -23 "$tmp/files.new" - >"$tmp/unignored"
    if [ -s "$tmp/unignored" ]; then
        cat "$tmp/unignored" >&2
        die "the package's build leaves files that .gitignore does not name"
    fi
else
    [ "${CI:-}" != true ] || die "$src is not a git checkout"
    echo "deb: not a git checkout: the build's by-products were not checked" >&2
fi
version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
deb="$tmp/corvansel_${version}_${arch}.deb"
[ -f "$deb" ] || die "no $deb"
if ! lintian --fail-on error,warning "$tmp/corvansel_${version}_${arch}.changes" \
    >"$tmp/lintian" 2>&1; then
    cat "$tmp/lintian" >&2
    die "lintian"
fi

# --- Install. What the package's paths and any corvansel file look like
# before, to compare with after the purge.
dpkg-deb --fsys-tarfile "$deb" | tar -tf - | sed -e 's#^\./#/#' -e 's#/$##' |
    grep -v '^\.\{0,1\}$' >"$tmp/paths"
while read -r p; do
    [ ! -e "$p" ] || echo "$p"
done <"$tmp/paths" >"$tmp/existed"
# Container engines keep images and their layers below /var/lib, with
# corvansel in them when its own image is being built, and change them
# meanwhile; no package script of ours writes there.
stray() {
    find /etc /usr /var/lib \( -path /var/lib/containers -o \
        -path /var/lib/docker \) -prune -o -name '*corvansel*' -print \
        2>/dev/null | sort
}
stray >"$tmp/stray.before"

dpkg -i "$deb" </dev/null >"$tmp/dpkg.log" 2>&1 || {
    cat "$tmp/dpkg.log" >&2
    die "dpkg -i"
}
installed=1
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
dpkg -L corvansel >"$tmp/owned"
unit=$(grep -x '\(/usr\)\{0,1\}/lib/systemd/system/corvansel\.service' \
    "$tmp/owned")
[ -n "$unit" ] || die "no systemd unit installed"
for p in /usr/bin/corvansel /usr/share/man/man1/corvansel.1.gz \
    /etc/default/corvansel "$unit"; do
    grep -qx "$p" "$tmp/owned" && [ -f "$p" ] || fail "not installed: $p"
done

# The release the program reports is the package's version, and it is
# linked against the system's C library.
help=$(/usr/bin/corvansel -h 2>&1)
case $help in
*"release: $version"*) ;;
*) fail "the program's release is not the package's $version: $help" ;;
esac
readelf -d /usr/bin/corvansel | grep -q 'NEEDED.*\[libc\.so' ||
    fail "/usr/bin/corvansel is not linked dynamically"

# Installed, not enabled: no unit links anywhere under /etc/systemd.
links=$(find /etc/systemd -name 'corvansel*')
[ -z "$links" ] || fail "the service was enabled on installation: $links"
if ! systemd-analyze verify "$unit" >"$tmp/verify" 2>&1 ||
    [ -s "$tmp/verify" ]; then
    cat "$tmp/verify" >&2
    fail "systemd-analyze verify $unit"
fi
# Each setting the file offers shows the unit's own default.
grep '^Environment=CORVANSEL_' "$unit" | sed 's/^Environment=/#/' |
    while read -r line; do
        grep -qxF "$line" /etc/default/corvansel ||
            echo "$line is not in /etc/default/corvansel"
    done >"$tmp/defaults"
[ ! -s "$tmp/defaults" ] || fail "$(cat "$tmp/defaults")"

# --- Settings: set in /etc/default/corvansel, kept when the package is
# installed again.
mkdir "$tmp/www"
printf 'served by the package\n' >"$tmp/www/hello.txt"
configure() {
    sed -i -e "s|^#\{0,1\}CORVANSEL_DIR=.*|CORVANSEL_DIR=$tmp/www|" \
        -e 's|^#\{0,1\}CORVANSEL_ADDRESS=.*|CORVANSEL_ADDRESS=127.0.0.1|' \
        -e "s|^#\{0,1\}CORVANSEL_PORT=.*|CORVANSEL_PORT=$1|" \
        /etc/default/corvansel
}
configure $((20000 + RANDOM % 30000))
cp /etc/default/corvansel "$tmp/settings"
dpkg -i "$deb" </dev/null >"$tmp/dpkg.log" 2>&1 || {
    cat "$tmp/dpkg.log" >&2
    fail "dpkg -i over the installed package"
}
cmp -s "$tmp/settings" /etc/default/corvansel ||
    fail "installing again changed /etc/default/corvansel"

# --- Run: the unit's defaults, its environment files over them, and its
# command line, as the service manager would start it, minus the sandbox.
# The banner and the log line come through a FIFO; a port that turns out to
# be taken ends the server at once, and another is tried.
start() {
    (
        set -a
        eval "$(sed -n 's/^Environment=//p' "$unit")"
        for f in $(sed -n 's/^EnvironmentFile=-\{0,1\}//p' "$unit"); do
            [ ! -f "$f" ] || . "$f"
        done
        set +a
        eval "exec $(sed -n 's/^ExecStart=//p' "$unit")"
    ) >"$tmp/out" 2>"$tmp/err" &
    pid=$!
    exec 3<"$tmp/out"
}
mkfifo "$tmp/out"
banner=
for try in 1 2 3 4 5; do
    port=$(sed -n 's/^CORVANSEL_PORT=//p' /etc/default/corvansel)
    start
    IFS= read -r -t 10 banner <&3 && break
    banner=
    exec 3<&-
    kill -TERM "$pid" 2>/dev/null
    wait "$pid"
    pid=
    grep -q 'in use' "$tmp/err" || break
    configure $((20000 + RANDOM % 30000))
done
if [ "$banner" != "Listening on 127.0.0.1 port $port" ]; then
    cat "$tmp/err" >&2
    die "the installed program did not start as its unit starts it"
fi
case $(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit") in
/usr/bin/corvansel) ;;
*) fail "the unit does not start /usr/bin/corvansel" ;;
esac
code=$(curl -sS --max-time 10 -o "$tmp/got" -w '%{http_code}' \
    "http://127.0.0.1:$port/hello.txt")
[ "$code" = 200 ] && cmp -s "$tmp/got" "$tmp/www/hello.txt" ||
    fail "GET /hello.txt answered $code"
IFS= read -r -t 10 line <&3
tab=$(printf '\t')
size=$(wc -c <"$tmp/www/hello.txt")
case $line in
"$size${tab}127.0.0.1${tab}200${tab}curl/"*"${tab}/hello.txt") ;;
*) fail "log line: $line" ;;
esac
kill -TERM "$pid"
wait "$pid"
status=$?
pid=
exec 3<&-
[ "$status" = 1 ] || fail "SIGTERM ended the server with status $status"

# --- Purge: every path the package brought is gone, and so is every other
# corvansel file its scripts made (the service's state among them).
dpkg -L corvansel >"$tmp/owned"
dpkg --purge corvansel </dev/null >"$tmp/dpkg.log" 2>&1 || {
    cat "$tmp/dpkg.log" >&2
    die "dpkg --purge"
}
installed=
dpkg-query -W -f='${db:Status-Status}' corvansel 2>/dev/null |
    grep -qv '^not-installed$' && fail "dpkg still knows corvansel"
while read -r p; do
    [ "$p" = /. ] || [ ! -e "$p" ] || grep -qxF "$p" "$tmp/existed" ||
        fail "left behind: $p"
done <"$tmp/owned"
stray >"$tmp/stray.after"
if ! cmp -s "$tmp/stray.before" "$tmp/stray.after"; then
    diff "$tmp/stray.before" "$tmp/stray.after" >&2
    fail "the purge left corvansel files behind"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "deb: corvansel $version built, lintian clean, installed, served, purged"
