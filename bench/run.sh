#!/usr/bin/env bash
# Measures corvansel beside a floor program of the same design (bench/floor.cc)
# and three peers (nginx, busybox httpd, mini_httpd), all in one run and on
# loopback only: a small file one request per connection at 1 to 32 clients,
# a large file at one client, worker and total memory, start-up time, and
# what thousands of connections held open cost (bench/hold.cc).
# Every figure is the median of several runs; every ratio is the median of
# the ratios to the floor or nginx measured in the same run. Run by
# `make bench`, after `make build`; writes the report to build/bench-report.md
# and every run's figures beside it (bench-report.runs).
#
# Needs wrk, nginx, busybox, mini_httpd, ss, ps, file, g++ with a static C
# library, and lld for the release build: it installs what the machine
# lacks with apt-get (BENCH_INSTALL_ONLY=1: that alone, which make bench
# does before it builds, so that the build finds lld). It stops every
# process it started, and is never part of the test command.
#
# Knobs (environment): BENCH_RUNS (7), BENCH_SECONDS (2), BENCH_STARTUP_RUNS
# (21), BENCH_SERVERS ("floor corvansel nginx busybox mini_httpd"),
# BENCH_SCALE_RUNS (3: the runs that also take 2 to 16 clients),
# BENCH_HOLD (10000: the connections held open),
# BENCH_PARTS ("load memory startup hold": the parts to run, in that order),
# CORVANSEL_BIN (build/release/corvansel), BENCH_REPORT (build/bench-report.md).
#
# The files in bench/run/ each hold one job: install.sh installs the tools;
# processes.sh starts and stops processes and picks ports; servers.sh
# starts each server; figures.sh reads CPU time and takes medians and
# ratios; load.sh, memory.sh, startup.sh and hold.sh each measure one part
# and write its tables; report.sh puts the report together.
# shellcheck source-path=SCRIPTDIR/..
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${CORVANSEL_BIN:-$ROOT/build/release/corvansel}
RUNS=${BENCH_RUNS:-7}
DURATION=${BENCH_SECONDS:-2}
STARTUP_RUNS=${BENCH_STARTUP_RUNS:-21}
SCALE_RUNS=${BENCH_SCALE_RUNS:-3}
SERVERS=${BENCH_SERVERS:-floor corvansel nginx busybox mini_httpd}
PARTS=${BENCH_PARTS:-load memory startup hold}
HOLD=${BENCH_HOLD:-10000}
REPORT=${BENCH_REPORT:-$ROOT/build/bench-report.md}

# within KNOB VALUE LOW HIGH: every loop is bounded by these, whatever the
# knobs say.
within() {
    [[ $2 =~ ^[0-9]+$ && $2 -ge $3 && $2 -le $4 ]] ||
        { echo "$1 must be $3 to $4" >&2; exit 1; }
}
within BENCH_RUNS "$RUNS" 1 50
within BENCH_SECONDS "$DURATION" 1 60
within BENCH_STARTUP_RUNS "$STARTUP_RUNS" 1 200
within BENCH_SCALE_RUNS "$SCALE_RUNS" 0 "$RUNS"
within BENCH_HOLD "$HOLD" 1 50000
for p in $PARTS; do
    case $p in load | memory | startup | hold) ;;
    *) echo "BENCH_PARTS: no part '$p' (load, memory, startup, hold)" >&2; exit 1 ;;
    esac
done

log() { printf '[bench] %s\n' "$*" >&2; }
has() { case " $SERVERS " in *" $1 "*) return 0 ;; esac; return 1; }
part() { case " $PARTS " in *" $1 "*) return 0 ;; esac; return 1; }

. "$ROOT/bench/run/install.sh"
. "$ROOT/bench/run/processes.sh"
. "$ROOT/bench/run/servers.sh"
. "$ROOT/bench/run/figures.sh"
. "$ROOT/bench/run/load.sh"
. "$ROOT/bench/run/memory.sh"
. "$ROOT/bench/run/startup.sh"
. "$ROOT/bench/run/hold.sh"
. "$ROOT/bench/run/report.sh"

install_missing
[ -n "${BENCH_INSTALL_ONLY:-}" ] && exit 0

if has corvansel && [ ! -x "$BIN" ]; then
    log "no $BIN; run 'make build' first (or leave corvansel out of BENCH_SERVERS)"
    exit 1
fi

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
LOAD_BEFORE_HOLD=
TICKS_BEFORE=$(cpu_ticks)
WORK=$(mktemp -d /tmp/corvansel-bench.XXXXXX)
# What each part measured, read back by its tables.
RESULTS=$WORK/results
for f in results connections memory faults tree times hold; do
    : >"$WORK/$f"
done

mkdir "$WORK/bin"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -static \
    -o "$WORK/bin/floor" "$ROOT/bench/floor.cc"
for tool in startup hold; do
    g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/bin/$tool" \
        "$ROOT/bench/$tool.cc"
done

# The peers drop their privileges to nobody, who must read the files; the
# large one is read once so that every server finds it in the page cache.
mkdir -p "$WORK/www"
head -c 1024 /dev/urandom >"$WORK/www/small.bin"
head -c $((64 * 1024 * 1024)) /dev/urandom >"$WORK/www/large.bin"
chmod 755 "$WORK" "$WORK/www"
chmod 644 "$WORK/www/small.bin" "$WORK/www/large.bin"
cat "$WORK/www/large.bin" >/dev/null

# The load and memory parts share one instance of each server.
if part load || part memory; then
    for s in $SERVERS; do
        start_server "$s"
    done
fi
if part load; then measure_load; fi
if part memory; then measure_memory; fi
if part startup; then measure_startup; fi
if part hold; then measure_hold; fi

write_report
# The figures of every single run, for a look behind the medians: name,
# test, then wrk's requests, duration (µs), bytes, p50 and p99 (µs),
# socket errors, status errors, the run's number, the machine's busy time
# and wrk's CPU time (µs), and the accepting process's CPU time (µs).
cp "$RESULTS" "${REPORT%.md}.runs"
cleanup
cat "$REPORT"
log "report written to $REPORT, every run's figures to ${REPORT%.md}.runs"
