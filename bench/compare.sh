#!/usr/bin/env bash
# Compares builds of the server side by side: for each binary, the CPU time
# the whole machine spends per request (user, system and interrupt time
# from /proc/stat, neither idle nor the host's steal) and the request rate,
# under wrk with 32 clients on a 1 KiB file, one request per connection.
# The binaries take turns in every round and each figure is the median of
# the rounds, so that a change worth a few percent shows through the
# drift of a shared machine better than in separate `make bench` runs.
#
# Usage: bench/compare.sh [-n ROUNDS] BINARY... (ROUNDS 7, at most 50).
# A binary named "floor" runs as the floor program (one argument, the
# port; build it with `g++ -std=c++20 -O2 -static -o floor bench/floor.cc`);
# every other one as corvansel -d DIR -l 127.0.0.1 PORT.
set -euo pipefail

rounds=7
if [ "${1:-}" = -n ]; then
    rounds=$2
    shift 2
fi
[[ $rounds =~ ^[0-9]+$ && $rounds -ge 1 && $rounds -le 50 ]] ||
    { echo "ROUNDS must be 1 to 50" >&2; exit 1; }
[ $# -ge 1 ] || { echo "usage: bench/compare.sh [-n ROUNDS] BINARY..." >&2; exit 1; }
command -v wrk >/dev/null || { echo "compare.sh needs wrk" >&2; exit 1; }
for b in "$@"; do
    [ -x "$b" ] || { echo "not a program: $b" >&2; exit 1; }
done

WORK=$(mktemp -d)
PID=
cleanup() {
    if [ -n "$PID" ]; then
        kill -TERM -- -"$PID" 2>/dev/null || true
        wait "$PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
mkdir "$WORK/www"
head -c 1024 /dev/zero | tr '\0' x >"$WORK/www/small.bin"

free_port() {
    local p
    for _ in $(seq 1 100); do
        p=$((20000 + RANDOM % 10000))
        (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { echo "$p"; return 0; }
    done
    echo "no free port" >&2
    exit 1
}

# The CPU time of the whole machine so far, in clock ticks.
busy_ticks() {
    awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 }' /proc/stat
}

declare -A cpu rate
for _ in $(seq 1 "$rounds"); do
    for b in "$@"; do
        port=$(free_port)
        set -m
        if [ "$(basename "$b")" = floor ]; then
            "$b" "$port" >"$WORK/out" 2>&1 </dev/null &
        else
            "$b" -d "$WORK/www" -l 127.0.0.1 "$port" >"$WORK/out" 2>&1 </dev/null &
        fi
        PID=$!
        set +m
        for _ in $(seq 1 200); do
            grep -q '^Listening' "$WORK/out" 2>/dev/null && break
            sleep 0.02
        done
        url="http://127.0.0.1:$port/small.bin"
        wrk -t2 -c32 -d1s -H 'Connection: close' "$url" >/dev/null
        before=$(busy_ticks)
        out=$(wrk -t2 -c32 -d3s -H 'Connection: close' "$url")
        after=$(busy_ticks)
        kill -TERM -- -"$PID" 2>/dev/null || true
        wait "$PID" 2>/dev/null || true
        PID=
        requests=$(awk '/requests in/ { print $1 }' <<<"$out")
        [ -n "$requests" ] && [ "$requests" -gt 0 ] ||
            { echo "no requests served by $b" >&2; exit 1; }
        ticks_per_second=$(getconf CLK_TCK)
        cpu[$b]+=" $(awk -v t=$((after - before)) -v n="$requests" \
            -v hz="$ticks_per_second" 'BEGIN { printf "%.1f", t * 1e6 / hz / n }')"
        rate[$b]+=" $(awk '/Requests\/sec/ { print $2 }' <<<"$out")"
    done
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 }
    END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-40s %16s %10s\n' binary "CPU µs/request" "req/s"
for b in "$@"; do
    printf '%-40s %16s %10s\n' "$b" "$(median <<<"${cpu[$b]}")" \
        "$(median <<<"${rate[$b]}")"
done
