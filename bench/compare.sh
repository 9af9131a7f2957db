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
# Needs wrk, ss and pgrep. It starts and stops its servers, reads CPU time
# and takes medians with the parts of bench/run.sh that do the same.
# shellcheck source-path=SCRIPTDIR/..
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/bench/run/processes.sh"
. "$ROOT/bench/run/figures.sh"

rounds=7
if [ "${1:-}" = -n ]; then
    rounds=$2
    shift 2
fi
[[ $rounds =~ ^[0-9]+$ && $rounds -ge 1 && $rounds -le 50 ]] ||
    { echo "ROUNDS must be 1 to 50" >&2; exit 1; }
[ $# -ge 1 ] || { echo "usage: bench/compare.sh [-n ROUNDS] BINARY..." >&2; exit 1; }
for need in wrk ss pgrep; do
    command -v "$need" >/dev/null || { echo "compare.sh needs $need" >&2; exit 1; }
done
for b in "$@"; do
    [ -x "$b" ] || { echo "not a program: $b" >&2; exit 1; }
done

WORK=$(mktemp -d)
mkdir "$WORK/www"
head -c 1024 /dev/zero | tr '\0' x >"$WORK/www/small.bin"

# Each binary's figures, one a line, a line a round.
declare -A cpu rate
for _ in $(seq 1 "$rounds"); do
    for b in "$@"; do
        port=$(pick_port)
        if [ "$(basename "$b")" = floor ]; then
            start_group "$WORK/out" "$b" "$port"
        else
            start_group "$WORK/out" "$b" -d "$WORK/www" -l 127.0.0.1 "$port"
        fi
        wait_listening "$port" "$b"
        url="http://127.0.0.1:$port/small.bin"
        wrk -t2 -c32 -d1s -H 'Connection: close' "$url" >/dev/null
        read -r before _ _ < <(cpu_ticks)
        out=$(wrk -t2 -c32 -d3s -H 'Connection: close' "$url")
        read -r after _ _ < <(cpu_ticks)
        stop_group "$LAST_PID"
        requests=$(awk '/requests in/ { print $1 }' <<<"$out")
        if [ -z "$requests" ] || [ "$requests" -eq 0 ]; then
            echo "no requests served by $b" >&2
            exit 1
        fi
        cpu[$b]+="$(awk -v t=$((after - before)) -v n="$requests" -v hz="$HZ" \
            'BEGIN { printf "%.1f", t * 1e6 / hz / n }')"$'\n'
        rate[$b]+="$(awk '/Requests\/sec/ { print $2 }' <<<"$out")"$'\n'
    done
done

printf '%-40s %16s %10s\n' binary "CPU µs/request" "req/s"
for b in "$@"; do
    printf '%-40s %16s %10s\n' "$b" "$(printf '%s' "${cpu[$b]}" | median)" \
        "$(printf '%s' "${rate[$b]}" | median)"
done
