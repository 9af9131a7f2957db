#!/usr/bin/env bash
# Writes server/worker.order: the functions a worker runs, and the data it
# writes, for the release link to place side by side.
#
# Why: a forked worker inherits no page table entries for the program's
# code, so it takes a page fault for every 64 KiB stretch of code it runs
# in, and the kernel maps (and at exit unmaps) every page of each stretch.
# Left to the archive order, the worker's few dozen functions lie across
# most of the C library's code; side by side they take one or two
# stretches. Likewise every page of data a worker writes is copied for it
# alone, and the few variables it writes lie on five pages. On our 2-core
# test machine the two together take about a sixth off the CPU time of
# each connection.
#
# How: the release binary runs under callgrind with every fork's counters
# zeroed in the child, serves one request of each kind (a file, HEAD, a
# range, not modified, and each refusal), and every function a worker ran
# is listed, those of a plain GET first. The C library picks its string
# functions for the processor when the program starts (and valgrind's
# virtual processor is not the real one), so for each of those the
# versions a current x86-64 processor may be given follow (AVX2, EVEX,
# AVX-512, the unaligned SSE2 and the generic ones); the rest (RTM for
# transactional memory, plain SSE2 for old processors) stay where they are.
#
# A stale list costs speed, never correctness: a name that no longer
# exists is skipped by the linker. Run it again (`make order`) when the
# worker's path or the C library changes; `make bench` reports the page
# faults of a worker, which show whether it still works.
#
# Usage: bench/order.sh [release binary] (default build/release/corvansel).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/release/corvansel}
OUT=$ROOT/server/worker.order

command -v valgrind >/dev/null || { echo "order.sh needs valgrind" >&2; exit 1; }
command -v callgrind_annotate >/dev/null ||
    { echo "order.sh needs callgrind_annotate" >&2; exit 1; }
[ -x "$BIN" ] || { echo "no binary at $BIN; run make build" >&2; exit 1; }

WORK=$(mktemp -d)
SERVER=
cleanup() {
    if [ -n "$SERVER" ]; then
        kill -TERM "$SERVER" 2>/dev/null || true
        wait "$SERVER" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir "$WORK/www" "$WORK/www/dir" "$WORK/prof"
head -c 1024 /dev/zero | tr '\0' x >"$WORK/www/small.bin"

port=
for _ in $(seq 1 100); do
    p=$((20000 + RANDOM % 10000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
        port=$p
        break
    fi
done
[ -n "$port" ] || { echo "no free port" >&2; exit 1; }

# The log goes through a pipe, as to the journal or a log filter, so that
# the workers take the lock that keeps its lines whole; a regular file
# would spare them that.
mkfifo "$WORK/log"
cat "$WORK/log" >"$WORK/out" &
valgrind --tool=callgrind --trace-children=yes --zero-before=_Fork \
    --demangle=no --callgrind-out-file="$WORK/prof/%p" \
    "$BIN" -d "$WORK/www" -l 127.0.0.1 "$port" \
    >"$WORK/log" 2>"$WORK/valgrind.log" &
SERVER=$!
for _ in $(seq 1 300); do
    grep -q '^Listening' "$WORK/out" 2>/dev/null && break
    sleep 0.1
done
grep -q '^Listening' "$WORK/out" ||
    { cat "$WORK/valgrind.log" >&2; echo "the server did not start" >&2; exit 1; }

# One request per connection, one after another, so that the workers'
# process ids come in the order of these requests; the plain GET is first.
requests=(
    'GET /small.bin HTTP/1.1\r\nUser-Agent: order\r\n\r\n'
    'HEAD /small.bin HTTP/1.1\r\n\r\n'
    'GET /small.bin HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n'
    'GET /small.bin HTTP/1.1\r\nIf-Modified-Since: Fri, 31 Dec 9999 23:59:59 GMT\r\n\r\n'
    'GET /small.bin HTTP/1.1\r\nRange: bytes=5000-\r\n\r\n'
    'GET /missing HTTP/1.1\r\n\r\n'
    'GET /dir HTTP/1.1\r\n\r\n'
    'POST / HTTP/1.1\r\n\r\n'
    'GET /%41 HTTP/1.1\r\n\r\n'
    'nonsense\r\n\r\n'
)
for r in "${requests[@]}"; do
    exec 3<>"/dev/tcp/127.0.0.1/$port"
    printf '%b' "$r" >&3
    cat <&3 >/dev/null
    exec 3<&-
done
# Every worker has logged its line before it closed its connection; the
# log is complete once there is one line per request.
for _ in $(seq 1 300); do
    [ "$(grep -vc '^Listening' "$WORK/out")" -ge ${#requests[@]} ] && break
    sleep 0.1
done
kill -TERM "$SERVER"
wait "$SERVER" 2>/dev/null || true
SERVER=
# Each process writes its profile as it exits, a worker perhaps just after
# its log line; a profile is whole once its totals line is there.
for _ in $(seq 1 300); do
    complete=1
    for f in "$WORK/prof"/*; do
        grep -q '^totals:' "$f" || complete=0
    done
    [ $complete -eq 1 ] && break
    sleep 0.1
done

# The functions one profile ran, one name a line.
functions_of() {
    callgrind_annotate --threshold=100 --inclusive=no "$1" 2>/dev/null |
        sed -n -E "s/^ *[0-9,]+ +\([ 0-9.]+%\) +[^:]*:([^ ']+)('[0-9]+)? .*\$/\1/p" |
        grep -v -E '^(0x[0-9a-f]+|\(below)$' || true
}

workers=()
for f in $(ls "$WORK/prof" | sort -n); do
    functions_of "$WORK/prof/$f" | grep -qx '_Z16serve_connectioniPK16sockaddr_storage' &&
        workers+=("$WORK/prof/$f")
done
[ ${#workers[@]} -eq ${#requests[@]} ] ||
    { echo "expected ${#requests[@]} worker profiles, found ${#workers[@]}" >&2; exit 1; }

functions_of "${workers[0]}" | sort >"$WORK/first"
for w in "${workers[@]:1}"; do functions_of "$w"; done | sort -u |
    comm -23 - "$WORK/first" >"$WORK/rest"

# The other processor-specific versions of the string functions a list
# names, from the binary's own symbol table.
nm "$BIN" | awk '{ print $NF }' | sort -u >"$WORK/symbols"
sort -u "$WORK/first" "$WORK/rest" >"$WORK/listed"
versions_of() {
    sed -n -E 's/^(__(mem|str|stp|raw|wmem|wcs)[a-z0-9]*)_.*/\1/p' "$1" |
        sort -u | while read -r family; do
            grep -E "^${family}_(avx2|evex|avx_unaligned|avx512|generic|sse2_unaligned)" \
                "$WORK/symbols" | grep -v '_rtm$' || true
        done | sort -u | comm -23 - "$WORK/listed"
}
versions_of "$WORK/first" >"$WORK/first-versions"
versions_of "$WORK/rest" | comm -23 - "$WORK/first-versions" >"$WORK/rest-versions"

# The C library's writable data that a worker writes: fork's generation
# counter, loader lock and stack list, stdio's list of open streams and its
# lock, and malloc's arena. Each page of it a worker writes is copied for
# that worker alone; spread by the archive order over five pages, placed
# together they take two. Found from a worker's page faults (perf record
# -e exceptions:page_fault_user, each written address looked up with nm);
# callgrind cannot tell, so the list is kept here by hand.
# Our own exchange buffer (request head, response, log line) follows them,
# so that the first kilobytes of it, all a small exchange fills, share
# their page.
data_written=(__fork_generation _dl_load_lock _dl_stack_user _IO_list_all
    list_all_lock main_arena exchange_buffer)
for d in "${data_written[@]}"; do
    grep -qx -- "$d" "$WORK/symbols" && echo "$d" ||
        echo "order.sh: $d is not in the binary; check the list" >&2
done >"$WORK/data"

# A plain GET's functions and their string versions first, so that the
# common path takes the fewest stretches. Code and data go to different
# sections, so the data may follow.
{
    echo "# The functions a worker runs and the data it writes, placed side by"
    echo "# side by the release link (see CMakeLists.txt). Written by"
    echo "# bench/order.sh; run it again rather than editing this file."
    cat "$WORK/first" "$WORK/first-versions" "$WORK/rest" "$WORK/rest-versions" \
        "$WORK/data"
} >"$OUT"
echo "wrote $OUT: $(grep -vc "^#" "$OUT") names" >&2
