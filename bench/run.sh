#!/usr/bin/env bash
# Measures corvansel beside a floor program of the same design (bench/floor.cc)
# and three peers (nginx, busybox httpd, mini_httpd), all in one run and on
# loopback only: a small file one request per connection at 1 to 32 clients,
# a large file at one client, worker and total memory, start-up time, and
# what thousands of connections held open cost (bench/hold.cc).
# Every figure is the median of several runs; every ratio is the median of
# the ratios to the floor or nginx measured in the same run. Run by
# `make bench`, after `make build`.
# It installs what the machine lacks with apt-get, stops every process it
# started, and is never part of the test command.
#
# Knobs (environment): BENCH_RUNS (7), BENCH_SECONDS (2), BENCH_STARTUP_RUNS
# (21), BENCH_SERVERS ("floor corvansel nginx busybox mini_httpd"),
# BENCH_SCALE_RUNS (3: the runs that also take 2 to 16 clients),
# BENCH_HOLD (10000: the connections held open),
# BENCH_PARTS ("load memory startup hold": the parts to run, in that order),
# CORVANSEL_BIN (build/release/corvansel), BENCH_REPORT (build/bench-report.md).
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

SMALL_SIZE=1024
LARGE_SIZE=$((64 * 1024 * 1024))
SAMPLE_INTERVAL=0.25
# The numbers of clients at which the small file's rate is taken; 1 and 32
# in every run, the others in the first SCALE_RUNS runs.
SCALE_CLIENTS="1 2 4 8 16 32"
HZ=$(getconf CLK_TCK)

# A held connection sends one more byte of its request head this often,
# well within the 30 s corvansel waits for each read.
HOLD_TRICKLE=10

# Every loop below is bounded by these, whatever the knobs say.
[[ $RUNS =~ ^[0-9]+$ && $RUNS -ge 1 && $RUNS -le 50 ]] ||
    { echo "BENCH_RUNS must be 1 to 50" >&2; exit 1; }
[[ $DURATION =~ ^[0-9]+$ && $DURATION -ge 1 && $DURATION -le 60 ]] ||
    { echo "BENCH_SECONDS must be 1 to 60" >&2; exit 1; }
[[ $STARTUP_RUNS =~ ^[0-9]+$ && $STARTUP_RUNS -ge 1 && $STARTUP_RUNS -le 200 ]] ||
    { echo "BENCH_STARTUP_RUNS must be 1 to 200" >&2; exit 1; }
[[ $SCALE_RUNS =~ ^[0-9]+$ && $SCALE_RUNS -le $RUNS ]] ||
    { echo "BENCH_SCALE_RUNS must be 0 to BENCH_RUNS" >&2; exit 1; }
[[ $HOLD =~ ^[0-9]+$ && $HOLD -ge 1 && $HOLD -le 50000 ]] ||
    { echo "BENCH_HOLD must be 1 to 50000" >&2; exit 1; }
for p in $PARTS; do
    case $p in load | memory | startup | hold) ;;
    *) echo "BENCH_PARTS: no part '$p' (load, memory, startup, hold)" >&2; exit 1 ;;
    esac
done

log() { printf '[bench] %s\n' "$*" >&2; }

# --- installs -----------------------------------------------------------

install_missing() {
    local need=()
    command -v wrk >/dev/null || need+=(wrk)
    command -v nginx >/dev/null || need+=(nginx)
    busybox --list 2>/dev/null | grep -qx httpd || need+=(busybox)
    command -v mini_httpd >/dev/null || need+=(mini-httpd)
    command -v ss >/dev/null || need+=(iproute2)
    command -v ps >/dev/null || need+=(procps)
    command -v file >/dev/null || need+=(file)
    command -v g++ >/dev/null || need+=(g++)
    # The release server is linked statically with lld; without it the build
    # falls back to dynamic linking and the figures are not the ones we ship.
    command -v ld.lld >/dev/null || need+=(lld)
    # The floor is linked statically.
    [ -e /usr/lib/x86_64-linux-gnu/libc.a ] || need+=(libc6-dev)
    [ ${#need[@]} -eq 0 ] && return 0
    log "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The packages' own scripts would start nginx and mini_httpd as system
    # services on ports of their own; a policy that refuses keeps them off.
    local policy=/usr/sbin/policy-rc.d made_policy=0
    if [ ! -e $policy ]; then
        printf '#!/bin/sh\nexit 101\n' >$policy
        chmod 755 $policy
        made_policy=1
    fi
    local i ok=0
    # Another apt-get may hold the lock for a while; wait for it, bounded.
    for i in $(seq 1 30); do
        if apt-get -o DPkg::Lock::Timeout=60 update -qq &&
            apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
                --no-install-recommends "${need[@]}" >/dev/null; then
            ok=1
            break
        fi
        log "apt-get failed (try $i), retrying in 10 s"
        sleep 10
    done
    [ $made_policy -eq 1 ] && rm -f $policy
    [ $ok -eq 1 ] || { echo "could not install ${need[*]}" >&2; exit 1; }
}

# --- processes ----------------------------------------------------------

WORK=
PIDS=()
BG_WRK=

cleanup() {
    local pid i
    if [ -n "$BG_WRK" ]; then
        kill -TERM "$BG_WRK" 2>/dev/null || true
        wait "$BG_WRK" 2>/dev/null || true
        BG_WRK=
    fi
    for pid in "${PIDS[@]}"; do
        kill -TERM -- -"$pid" 2>/dev/null || true
    done
    for pid in "${PIDS[@]}"; do
        for i in $(seq 1 30); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- -"$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    PIDS=()
    [ -n "$WORK" ] && rm -rf "$WORK"
    WORK=
}
trap cleanup EXIT
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM

# Starts a command in a process group of its own, so that stopping the
# group also ends the workers it forked; appends its pid to PIDS.
start_group() {
    local out=$1
    shift
    set -m
    "$@" >"$out" 2>>"$WORK/stderr.log" </dev/null &
    local pid=$!
    set +m
    PIDS+=("$pid")
    LAST_PID=$pid
}

# Ends the process group started by start_group with the given pid and
# waits, bounded, until every process of it is gone: after thousands of
# held connections, the next measurement must not share the processor
# with their exits.
stop_group() {
    local pid=$1 i kept=()
    kill -TERM -- -"$pid" 2>/dev/null || true
    for i in $(seq 1 300); do
        pgrep -g "$pid" >/dev/null || break
        sleep 0.1
    done
    kill -KILL -- -"$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for i in "${PIDS[@]}"; do
        [ "$i" = "$pid" ] || kept+=("$i")
    done
    PIDS=("${kept[@]}")
}

USED_PORTS=" "
pick_port() {
    local i p
    for i in $(seq 1 500); do
        p=$((20000 + RANDOM % 10000))
        case $USED_PORTS in *" $p "*) continue ;; esac
        if [ -z "$(ss -Hltn "sport = :$p")" ] &&
            [ -z "$(ss -Htan "( sport = :$p or dport = :$p )")" ]; then
            USED_PORTS+="$p "
            echo "$p"
            return 0
        fi
    done
    echo "no free port" >&2
    exit 1
}

# Waits, bounded, until something listens on 127.0.0.1:port.
wait_listening() {
    local port=$1 name=$2 i
    for i in $(seq 1 100); do
        [ -n "$(ss -Hltn "sport = :$port")" ] && return 0
        sleep 0.05
    done
    echo "$name did not start listening on port $port; see below" >&2
    cat "$WORK/stderr.log" >&2
    exit 1
}

# --- the servers --------------------------------------------------------

write_nginx_conf() {
    local port=$1 conf=$2 connections=${NGINX_CONNECTIONS:-1024} dir limit=''
    dir=$(dirname "$conf")
    mkdir -p "$dir"
    # Each connection is a descriptor of a worker.
    [ "$connections" -gt 1024 ] &&
        limit="worker_rlimit_nofile $((connections + 64));"
    cat >"$conf" <<EOF
daemon off;
master_process on;
worker_processes auto;
pid $dir/nginx.pid;
error_log $dir/error.log;
$limit
events { worker_connections $connections; }
http {
    log_format bench '\$remote_addr - \$remote_user [\$time_local] "\$request" '
                     '\$status \$body_bytes_sent "\$http_referer" '
                     '"\$http_user_agent" \$connection \$connection_requests';
    access_log $dir/access.log bench;
    sendfile on;
    keepalive_timeout 0;
    default_type application/octet-stream;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$port;
        root $WORK/www;
    }
}
EOF
}

# Prints the command line that serves $WORK/www on 127.0.0.1:port.
server_command() {
    local name=$1 port=$2
    case $name in
    floor) echo "$WORK/bin/floor $port" ;;
    corvansel) echo "$BIN -d $WORK/www -l 127.0.0.1 $port" ;;
    nginx)
        write_nginx_conf "$port" "$WORK/nginx-$port/nginx.conf"
        echo "nginx -p $WORK/nginx-$port -e $WORK/nginx-$port/error.log" \
            "-c $WORK/nginx-$port/nginx.conf"
        ;;
    busybox) echo "busybox httpd -f -p 127.0.0.1:$port -h $WORK/www" ;;
    mini_httpd)
        echo "mini_httpd -D -h 127.0.0.1 -p $port -d $WORK/www" \
            "-l $WORK/mini_httpd-$port.log -u nobody"
        ;;
    esac
}

# The one process that holds the listening socket on the port, which
# accepts every connection and, in a server of our design, forks its
# worker; nothing when several share the socket, as nginx's workers do.
accepting_pid() {
    local pids
    pids=$(ss -Hltnp "sport = :$1" | grep -o 'pid=[0-9]*' | cut -d= -f2 |
        sort -u)
    [ "$(echo "$pids" | wc -w)" -eq 1 ] && echo "$pids"
    return 0
}

declare -A PORT ROOTPID ACCEPTOR
start_server() {
    local name=$1 port cmd
    port=$(pick_port)
    cmd=$(server_command "$name" "$port")
    # shellcheck disable=SC2086 # the command is split on purpose
    start_group "$WORK/$name.out" $cmd
    PORT[$name]=$port
    ROOTPID[$name]=$LAST_PID
    wait_listening "$port" "$name"
    ACCEPTOR[$name]=$(accepting_pid "$port")
}

# --- measuring ----------------------------------------------------------

RESULTS=
passive_opens() {
    awk '/^Tcp:/ { if (seen) print $6; seen = 1 }' /proc/net/snmp
}

# Clock ticks of the whole machine since boot: busy (user, nice, system,
# interrupts; neither idle, I/O wait nor steal), steal, and all of them.
cpu_ticks() {
    awk '/^cpu / { busy = $2 + $3 + $4 + $7 + $8
                   all = 0; for (i = 2; i <= 9; i++) all += $i
                   print busy, $9, all }' /proc/stat
}

# User and system time of a process so far, in clock ticks; nothing if
# there is no such process.
process_ticks() {
    [ -n "$1" ] || return 0
    { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; } 2>/dev/null || true
}

# wrk_run NAME TEST THREADS CLIENTS PATH RUN [PORT]: one run, one line in
# RESULTS: wrk's figures, the run's number (so that ratios can be taken
# within a run), then the machine's busy time and wrk's own CPU time over
# the run in µs, whose difference is what the server and the rest of the
# machine spent, and the CPU time of the server's accepting process in µs
# (-1 when it has none of its own, or on another port than the default).
wrk_run() {
    local name=$1 test=$2 threads=$3 clients=$4 path=$5 run=$6
    local port=${7:-${PORT[$1]}} line before after wrk_us TIMEFORMAT='%3U %3S'
    local acceptor='' accept_before='' accept_after='' accept_us=-1
    [ -z "${7:-}" ] && acceptor=${ACCEPTOR[$name]:-}
    accept_before=$(process_ticks "$acceptor")
    read -r before _ _ < <(cpu_ticks)
    { time timeout $((DURATION + 60)) wrk -t"$threads" -c"$clients" \
        -d"${DURATION}s" --timeout 30s -s "$ROOT/bench/report.lua" \
        "http://127.0.0.1:$port$path" >"$WORK/wrk.out" 2>&1 || true; } \
        2>"$WORK/wrk.time"
    read -r after _ _ < <(cpu_ticks)
    accept_after=$(process_ticks "$acceptor")
    [ -n "$accept_before" ] && [ -n "$accept_after" ] &&
        accept_us=$(((accept_after - accept_before) * 1000000 / HZ))
    line=$(grep '^RESULT' "$WORK/wrk.out" || true)
    if [ -z "$line" ]; then
        log "$name $test: wrk gave no result"
        return 0
    fi
    wrk_us=$(awk 'NF == 2 { printf "%d", ($1 + $2) * 1e6 }' "$WORK/wrk.time")
    echo "$name $test ${line#RESULT } $run" \
        "$(((after - before) * 1000000 / HZ)) ${wrk_us:-0} $accept_us" >>"$RESULTS"
}

# Checks that every request really came on a new connection: the
# system's count of accepted connections against wrk's requests, over a
# short run (which also warms the server up). The count is the whole
# machine's, so other traffic can only raise it.
check_connections() {
    local name=$1 before after line reqs
    before=$(passive_opens)
    line=$(timeout 60 wrk -t1 -c1 -d1s --timeout 30s \
        -s "$ROOT/bench/report.lua" \
        "http://127.0.0.1:${PORT[$name]}/small.bin" | grep '^RESULT' || true)
    after=$(passive_opens)
    reqs=$(echo "$line" | awk '{ print $2 }')
    [ -n "$reqs" ] && [ "$reqs" -gt 0 ] || reqs=0
    echo "$name $((after - before)) $reqs" >>"$WORK/connections"
}

median() {
    sort -g | awk '{ v[NR] = $1 }
        END { if (NR == 0) print "";
              else if (NR % 2) print v[(NR + 1) / 2];
              else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The pid of the process that holds the established connection from
# the given client port: the worker serving it.
connection_owner() {
    local port=$1 cport=$2
    ss -Htnp state established "( sport = :$port and dport = :$cport )" |
        grep -o 'pid=[0-9]*' | cut -d= -f2 | sort -n | tail -1
}

private_kib() {
    { awk '/^Private_(Clean|Dirty):/ { s += $2; n++ } END { if (n) print s }' \
        <"/proc/$1/smaps_rollup"; } 2>/dev/null || true
}

# Private memory of the process serving one connection, either waiting
# for a request that never comes or in the middle of sending the large
# file to a client that does not read.
worker_private() {
    local name=$1 state=$2 port=${PORT[$1]} fd cport pid kib faults
    exec {fd}<>"/dev/tcp/127.0.0.1/$port"
    if [ "$state" = sending ]; then
        printf 'GET /large.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&"$fd"
    fi
    sleep 0.3
    cport=$(ss -Htn state established "( dport = :$port )" |
        awk '{ n = split($3, a, ":"); print a[n] }' | tail -1)
    pid=
    [ -n "$cport" ] && pid=$(connection_owner "$port" "$cport")
    kib=
    faults=
    if [ -n "$pid" ]; then
        kib=$(private_kib "$pid")
        # Minor faults so far: field 8 after the command name.
        faults=$({ sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $8 }'; } \
            2>/dev/null || true)
    fi
    exec {fd}>&-
    sleep 0.1
    [ -n "$kib" ] && echo "$name $state $kib" >>"$WORK/memory"
    [ -n "$faults" ] && echo "$name $state $faults" >>"$WORK/faults"
    return 0
}

# The pids of the whole process tree under root, one a line.
tree_pids() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END { for (p in parent) { q = p
                while (q != root && (q in parent) && q > 1) q = parent[q]
                if (q == root) print p } }'
}

# Resident and proportional memory of the whole process tree of a
# server, sampled while 32 clients load it.
tree_memory() {
    local name=$1 root=${ROOTPID[$1]} pids i wrkpid
    timeout $((DURATION + 60)) wrk -t2 -c32 -d"${DURATION}s" --timeout 30s \
        -s "$ROOT/bench/report.lua" \
        "http://127.0.0.1:${PORT[$name]}/small.bin" >/dev/null &
    wrkpid=$!
    BG_WRK=$wrkpid
    sleep 0.5
    for i in $(seq 1 $((DURATION * 4 - 2))); do
        kill -0 "$wrkpid" 2>/dev/null || break
        pids=$(tree_pids "$root")
        {
            printf '%s tree ' "$name"
            for p in $pids; do
                cat "/proc/$p/smaps_rollup" 2>/dev/null || true
            done | awk '/^Rss:/ { r += $2; n++ } /^Pss:/ { s += $2 }
                END { print r + 0, s + 0, n + 0 }'
        } >>"$WORK/tree"
        sleep $SAMPLE_INTERVAL
    done
    wait "$wrkpid" || true
    BG_WRK=
}

# The memory a server and the machine use at one moment: the number of
# processes in the server's tree and the sums of their Rss, Pss and
# private memory; the kernel's process stacks, page tables and
# unreclaimable slab (process, memory map and socket structures); and the
# machine's used memory, MemTotal less MemAvailable. KiB.
hold_usage() {
    {
        tree_pids "$1" | sed 's|.*|/proc/&/smaps_rollup|' |
            xargs -r cat 2>/dev/null || true
    } | awk '/^Rss:/ { r += $2; n++ } /^Pss:/ { s += $2 }
        /^Private_(Clean|Dirty):/ { p += $2 }
        END { printf "%d %d %d %d", n, r, s, p }'
    awk '/^(KernelStack|PageTables|SUnreclaim):/ { k += $2 }
        /^MemTotal:/ { t = $2 } /^MemAvailable:/ { a = $2 }
        END { printf " %d %d\n", k, t - a }' /proc/meminfo
}

# hold_test NAME: a fresh instance of the server; a client alone on it
# (one request per connection, the small file); then HOLD connections
# held open by bench/hold.cc, the memory that takes, and the same client
# beside them. A held connection trickles a byte of an unfinished head
# every HOLD_TRICKLE s; the floor gets none, since it would answer the
# first byte and it never times out.
hold_test() {
    local name=$1 port cmd pid hold trickle=$HOLD_TRICKLE i
    local held='' ramp='' open='' dropped=''
    port=$(pick_port)
    # nginx takes at most worker_connections per worker: room for all of
    # them in either worker, whichever accepts them.
    cmd=$(NGINX_CONNECTIONS=$((HOLD + 1024)) server_command "$name" "$port")
    # shellcheck disable=SC2086 # the command is split on purpose
    start_group "$WORK/hold-$name.out" $cmd
    pid=$LAST_PID
    wait_listening "$port" "$name"
    wrk_run "$name" alone 1 1 /small.bin 1 "$port"
    [ "$name" = floor ] && trickle=0
    echo "$name before $(hold_usage "$pid")" >>"$WORK/hold"
    : >"$WORK/hold.out"
    start_group "$WORK/hold.out" "$WORK/bin/hold" "$port" "$HOLD" "$trickle"
    hold=$LAST_PID
    for i in $(seq 1 1200); do
        grep -q '^held' "$WORK/hold.out" && break
        kill -0 "$hold" 2>/dev/null || break
        sleep 0.1
    done
    read -r _ held ramp < <(grep '^held' "$WORK/hold.out") || true
    if [ -n "$held" ]; then
        sleep 1
        echo "$name after $(hold_usage "$pid")" >>"$WORK/hold"
        wrk_run "$name" beside 1 1 /small.bin 1 "$port"
    else
        log "$name: the connections were not all opened; see below"
        tail -5 "$WORK/stderr.log" >&2
    fi
    stop_group "$hold"
    read -r _ open _ dropped < <(grep '^open' "$WORK/hold.out") || true
    echo "$name held ${held:-0} ${ramp:-0} ${open:-0} ${dropped:-0}" >>"$WORK/hold"
    stop_group "$pid"
}

# --- report -------------------------------------------------------------

# fig NAME TEST FIELD [LAST]: median over the runs (up to run LAST) of one
# figure of RESULTS: req/s, p50, p99, MiB/s, errors; cpu: the CPU time in
# µs per request that the machine spent outside wrk; accept: that of the
# server's accepting process.
fig() {
    local name=$1 test=$2 field=$3 last=${4:-$RUNS}
    awk -v n="$name" -v t="$test" -v f="$field" -v last="$last" '
        $1 == n && $2 == t && $4 > 0 && $10 <= last {
            if (f == "rps") print $3 / ($4 / 1e6)
            else if (f == "p50") print $6
            else if (f == "p99") print $7
            else if (f == "mibs") print $5 / ($4 / 1e6) / 1048576
            else if (f == "errors") print $8 + $9
            else if (f == "cpu" && $3 > 0) print ($11 - $12) / $3
            else if (f == "accept" && $3 > 0 && $13 >= 0) print $13 / $3 }' "$RESULTS" | median
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (a == "" || b == "" || b == 0) print "–"; else printf "%.2f", a / b }'
}

# run_ratio NAME BASE TEST FIELD [LAST]: the median over the runs (up to
# run LAST) of NAME's figure over BASE's figure in the same run. The two
# were measured back to back, so the drift of a shared machine between
# runs cancels out of each ratio.
run_ratio() {
    local name=$1 base=$2 test=$3 field=$4 last=${5:-$RUNS} value
    value=$(awk -v n="$name" -v b="$base" -v t="$test" -v f="$field" \
        -v last="$last" '
        function figure() {
            if (f == "rps") return $3 / ($4 / 1e6)
            if (f == "p99") return $7
            if (f == "cpu") return $3 > 0 ? ($11 - $12) / $3 : 0
            if (f == "accept") return $3 > 0 && $13 > 0 ? $13 / $3 : 0
            return $5 / ($4 / 1e6) / 1048576 }
        $2 == t && $4 > 0 && $10 <= last && ($1 == n || $1 == b) {
            v[$1, $10] = figure() }
        END { for (k in v) { split(k, p, SUBSEP)
                if (p[1] == n && (b, p[2]) in v && v[b, p[2]] > 0)
                    print v[k] / v[b, p[2]] } }' "$RESULTS" | median)
    num "$value" 2
}

num() {
    awk -v a="$1" -v d="${2:-0}" 'BEGIN {
        if (a == "") print "–"; else printf "%.*f", d, a }'
}

has() { case " $SERVERS " in *" $1 "*) return 0 ;; esac; return 1; }
part() { case " $PARTS " in *" $1 "*) return 0 ;; esac; return 1; }

small_table() {
    local test=$1 s rps p50 p99
    echo "| server | req/s | × floor | × nginx | p50 ms | p99 ms | p99 × floor | errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    for s in $SERVERS; do
        rps=$(fig "$s" "$test" rps)
        p50=$(fig "$s" "$test" p50)
        p99=$(fig "$s" "$test" p99)
        echo "| $s | $(num "$rps") | $(run_ratio "$s" floor "$test" rps) |" \
            "$(run_ratio "$s" nginx "$test" rps) |" \
            "$(num "$(awk -v v="$p50" 'BEGIN { if (v != "") print v / 1000 }')" 3) |" \
            "$(num "$(awk -v v="$p99" 'BEGIN { if (v != "") print v / 1000 }')" 3) |" \
            "$(run_ratio "$s" floor "$test" p99) | $(num "$(fig "$s" "$test" errors)") |"
    done
}

# The small file's rate at each number of clients, over the first
# SCALE_RUNS runs, where every number was measured; and, over all runs,
# the CPU time per request at 32 clients, of the whole machine less wrk
# and of the accepting process alone, with the rate each cost allows.
scale_table() {
    local s c cpu accept head="| server |" rule="|---|"
    for c in $SCALE_CLIENTS; do
        head+=" $c |"
        rule+="---:|"
    done
    echo "$head CPU µs per request at 32 | req/s per core | accepting µs | its ceiling, req/s |"
    echo "$rule---:|---:|---:|---:|"
    for s in $SERVERS; do
        printf '| %s |' "$s"
        for c in $SCALE_CLIENTS; do
            printf ' %s |' "$(num "$(fig "$s" "small$c" rps "$SCALE_RUNS")")"
        done
        cpu=$(fig "$s" small32 cpu)
        accept=$(fig "$s" small32 accept)
        echo " $(num "$cpu") | $(num "$(per_second "$cpu")") |" \
            "$(num "$accept" 1) | $(num "$(per_second "$accept")") |"
    done
    if has corvansel && has floor; then
        printf '| corvansel × floor |'
        for c in $SCALE_CLIENTS; do
            printf ' %s |' "$(run_ratio corvansel floor "small$c" rps "$SCALE_RUNS")"
        done
        echo " $(run_ratio corvansel floor small32 cpu) | |" \
            "$(run_ratio corvansel floor small32 accept) | |"
    fi
}

# hold_fig NAME FIELD: one figure of the held connections' test, KiB per
# connection for the memory.
hold_fig() {
    awk -v n="$1" -v f="$2" '
        $1 != n { next }
        $2 == "before" { for (i = 3; i <= 8; i++) b[i] = $i }
        $2 == "after" { for (i = 3; i <= 8; i++) a[i] = $i; after = 1 }
        $2 == "held" { held = $3; ramp = $4; open = $5 }
        END {
            if (f == "held") print held
            else if (f == "open") print open
            else if (f == "rate" && ramp > 0) print held / (ramp / 1e6)
            else if (f == "processes" && after) print a[3]
            else if (held > 0 && after) {
                c = f == "pss" ? 5 : f == "private" ? 6 : f == "kernel" ? 7 : 8
                print (a[c] - b[c]) / held } }' "$WORK/hold"
}

hold_tables() {
    local s
    echo "| server | held | open at the end | processes | opened per s | Pss | private | kernel | machine |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
    for s in $SERVERS; do
        echo "| $s | $(num "$(hold_fig "$s" held)") | $(num "$(hold_fig "$s" open)") |" \
            "$(num "$(hold_fig "$s" processes)") | $(num "$(hold_fig "$s" rate)") |" \
            "$(num "$(hold_fig "$s" pss)" 1) | $(num "$(hold_fig "$s" private)" 1) |" \
            "$(num "$(hold_fig "$s" kernel)" 1) | $(num "$(hold_fig "$s" machine)" 1) |"
    done
    echo
    echo "A client beside them: wrk, one client, one request per connection for"
    echo "the 1 KiB file, ${DURATION} s alone on the fresh instance, then ${DURATION} s while the"
    echo "connections are held."
    echo
    echo "| server | req/s alone | req/s beside | p50 ms alone | p50 ms beside | p99 ms alone | p99 ms beside | errors beside |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    for s in $SERVERS; do
        echo "| $s | $(num "$(fig "$s" alone rps)") | $(num "$(fig "$s" beside rps)") |" \
            "$(ms "$(fig "$s" alone p50)") | $(ms "$(fig "$s" beside p50)") |" \
            "$(ms "$(fig "$s" alone p99)") | $(ms "$(fig "$s" beside p99)") |" \
            "$(num "$(fig "$s" beside errors)") |"
    done
}

# The figures a deployment is sized with, in a few lines.
sizing_lines() {
    local pss kernel cpu accept
    if part hold; then
        pss=$(hold_fig corvansel pss)
        kernel=$(hold_fig corvansel kernel)
        echo "- held at once: $(num "$(hold_fig corvansel held)") connections of $HOLD" \
            "asked, $(num "$(hold_fig corvansel open)") still open at the end, in" \
            "$(num "$(hold_fig corvansel processes)") processes"
        echo "- memory per held connection: $(num "$(awk -v a="$pss" -v b="$kernel" \
            'BEGIN { if (a != "" && b != "") print a + b }')") KiB" \
            "($(num "$pss") KiB Pss of the server's processes, $(num "$kernel") KiB kernel)"
        echo "- a client beside them: p50 $(ms "$(fig corvansel beside p50)") ms," \
            "p99 $(ms "$(fig corvansel beside p99)") ms; alone:" \
            "p50 $(ms "$(fig corvansel alone p50)") ms, p99 $(ms "$(fig corvansel alone p99)") ms"
    fi
    if part load; then
        cpu=$(fig corvansel small32 cpu)
        accept=$(fig corvansel small32 accept)
        echo "- small file, one request per connection: $(num "$(fig corvansel small1 rps)")" \
            "req/s at 1 client, $(num "$(fig corvansel small32 rps)") req/s at 32 on $(nproc)" \
            "cores; $(num "$cpu") µs of CPU per request at 32, about" \
            "$(num "$(per_second "$cpu")") req/s per core"
        echo "- the accepting process: $(num "$accept" 1) µs per connection, at most" \
            "about $(num "$(per_second "$accept")") connections a second per instance;" \
            "it keeps up with about $(num "$(awk -v c="$cpu" -v a="$accept" \
                'BEGIN { if (a > 0) print c / a }')" 1) cores' worth of requests"
    fi
}

# How many a second a cost in µs allows.
per_second() {
    awk -v c="$1" 'BEGIN { if (c > 0) print 1e6 / c }'
}

# A figure in µs, in ms with three decimals.
ms() {
    num "$(awk -v v="$1" 'BEGIN { if (v != "") print v / 1000 }')" 3
}

mem_fig() {
    awk -v n="$1" -v st="$2" '$1 == n && $2 == st { print $3 }' \
        "$WORK/memory" 2>/dev/null | median
}

# Page faults of the process serving one connection, up to the moment it
# was looked at; only for servers that fork a process per connection.
fault_fig() {
    [ "$1" = nginx ] && return 0
    awk -v n="$1" -v st="$2" '$1 == n && $2 == st { print $3 }' \
        "$WORK/faults" 2>/dev/null | median
}

tree_fig() {
    awk -v n="$1" -v c="$2" '$1 == n && $2 == "tree" { print $c }' \
        "$WORK/tree" 2>/dev/null | median
}

startup_fig() {
    awk -v n="$1" -v m="$2" '$1 == n && $2 == m {
        for (i = 3; i <= NF; i++) print $i }' "$WORK/times" | median
}

# target TEXT VALUE LIMIT min|max|below: one line of the targets list.
target() {
    local text=$1 value=$2 limit=$3 kind=$4 verdict
    verdict=$(awk -v v="$value" -v l="$limit" -v k="$kind" 'BEGIN {
        if (v == "" || l == "" || v == "–") print "not measured"
        else if ((k == "min" && v + 0 >= l + 0) || (k == "max" && v + 0 <= l + 0) ||
                 (k == "below" && v + 0 < l + 0)) print "met"
        else print "NOT met" }')
    local sign="≤"
    [ "$kind" = min ] && sign="≥"
    [ "$kind" = below ] && sign="<"
    echo "- $text: $value (target $sign $limit): **$verdict**"
}

write_report() {
    local s
    {
        echo "## Figures"
        echo
        if part load; then
            echo "Medians of $RUNS runs of ${DURATION} s each (wrk, one request per"
            echo "connection: every request carries \`Connection: close\`). Each"
            echo "ratio (× floor, × nginx, and the targets) is the median over the runs"
            echo "of the ratio within one run, where the servers took each test back to"
            echo "back; it can differ a little from the ratio of the medians."
            echo
            echo "### Small file (1 KiB), 1 client"
            echo
            small_table small1
            echo
            echo "### Small file (1 KiB), 32 clients"
            echo
            small_table small32
            echo
            if [ "$SCALE_RUNS" -ge 1 ]; then
                echo "### Small file (1 KiB), 1 to 32 clients"
                echo
                echo "req/s by the number of clients, medians of the first $SCALE_RUNS"
                echo "run(s), which took every number of clients (2 to 16 with two wrk"
                echo "threads, as 32). CPU per request = the whole machine's busy time"
                echo "(user, system and interrupts; neither idle nor steal) during the"
                echo "32-client test less wrk's own, over the requests, median of all"
                echo "$RUNS runs: the server's time, with the kernel's work on the"
                echo "client's side of loopback and whatever else ran meanwhile; req/s"
                echo "per core = 10⁶ over that. Accepting = the CPU time per request of"
                echo "the one process that holds the listening socket (for a server of"
                echo "our design, accept and fork); its ceiling = 10⁶ over that, the most"
                echo "connections a second that process can take with a core to itself,"
                echo "however many cores the machine has (none for nginx, whose workers"
                echo "all accept)."
                echo
                scale_table
                echo
            fi
            echo "### Large file (64 MiB), 1 client, repeated"
            echo
            echo "| server | MiB/s | × nginx | time per file ms | errors |"
            echo "|---|---:|---:|---:|---:|"
            for s in $SERVERS; do
                [ "$s" = floor ] && continue
                echo "| $s | $(num "$(fig "$s" large mibs)") |" \
                    "$(run_ratio "$s" nginx large mibs) |" \
                    "$(num "$(awk -v v="$(fig "$s" large p50)" 'BEGIN { if (v != "") print v / 1000 }')" 1) |" \
                    "$(num "$(fig "$s" large errors)") |"
            done
            echo
        fi
        if part memory; then
            echo "### Memory (KiB)"
            echo
            echo "Private = Private_Clean + Private_Dirty of the process serving one"
            echo "connection (for nginx, its worker), while waiting for a request and"
            echo "while sending the large file to a client that does not read. Resident"
            echo "total = the sum of Rss (and of Pss) over the server's whole process"
            echo "tree, sampled every ${SAMPLE_INTERVAL} s under 32 clients. Faults ="
            echo "the minor page faults of the process serving the connection, from its"
            echo "fork until it is looked at while sending (not for nginx, whose worker"
            echo "serves every connection): how much of the program a worker touches."
            echo
            local fw
            fw=$(mem_fig floor waiting)
            echo "| server | private, waiting | × floor | private, sending | faults, sending | Rss total | × floor | × nginx | Pss total | processes |"
            echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
            local frss nrss rss
            frss=$(tree_fig floor 3)
            nrss=$(tree_fig nginx 3)
            for s in $SERVERS; do
                rss=$(tree_fig "$s" 3)
                echo "| $s | $(num "$(mem_fig "$s" waiting)") |" \
                    "$(ratio "$(mem_fig "$s" waiting)" "$fw") |" \
                    "$(num "$(mem_fig "$s" sending)") |" \
                    "$(num "$(fault_fig "$s" sending)") |" \
                    "$(num "$rss") | $(ratio "$rss" "$frss") | $(ratio "$rss" "$nrss") |" \
                    "$(num "$(tree_fig "$s" 4)") | $(num "$(tree_fig "$s" 5)") |"
            done
            echo
        fi
        if part startup; then
            echo "### Start-up (µs, median of $STARTUP_RUNS starts)"
            echo
            echo "From the fork that execs the server to its banner on standard output"
            echo "(servers that print one), and to the first connection accepted on"
            echo "its port (every server; polled every 50 µs)."
            echo
            local fb fc nc
            fb=$(startup_fig floor banner)
            fc=$(startup_fig floor connect)
            nc=$(startup_fig nginx connect)
            echo "| server | to banner | × floor | to accepting | × floor | × nginx |"
            echo "|---|---:|---:|---:|---:|---:|"
            for s in $SERVERS; do
                local b c
                b=$(startup_fig "$s" banner)
                c=$(startup_fig "$s" connect)
                echo "| $s | $(num "$b") | $(ratio "$b" "$fb") | $(num "$c") |" \
                    "$(ratio "$c" "$fc") | $(ratio "$c" "$nc") |"
            done
            echo
        fi
        if part hold; then
            echo "### Held connections"
            echo
            echo "$HOLD connections to a fresh instance of each server, opened as fast"
            echo "as it takes them off its listen queue (bench/hold.cc), each then"
            echo "sending one byte of an unfinished request head every $HOLD_TRICKLE s (to"
            echo "the floor nothing: it would answer the first byte, and it never"
            echo "times out); nginx with worker_connections $((HOLD + 1024)). Held ="
            echo "open once all were made; open at the end = still held when the"
            echo "client beside them had finished. Processes = the server's process"
            echo "tree while they were held. Memory, in KiB per held connection: the"
            echo "growth from before they were opened to while they were held, over"
            echo "the number held. Pss and private = those of the server's processes"
            echo "(smaps_rollup; Pss counts a shared page once over all processes)."
            echo "Kernel = KernelStack + PageTables + SUnreclaim of /proc/meminfo:"
            echo "process stacks, page tables, process and socket structures, both"
            echo "ends of each connection, since the client runs on the same machine."
            echo "Machine = MemTotal − MemAvailable: all of it, and whatever else"
            echo "changed on the machine meanwhile."
            echo
            hold_tables
            echo
        fi
        if part load; then
            echo "### New connections per request"
            echo
            echo "Accepted connections (the system's TcpPassiveOpens) over wrk's"
            echo "requests in a 1 s check at 1 client; 1.00 means one connection per"
            echo "request."
            echo
            echo "| server | accepted | requests | ratio |"
            echo "|---|---:|---:|---:|"
            while read -r s acc reqs; do
                echo "| $s | $acc | $reqs | $(ratio "$acc" "$reqs") |"
            done <"$WORK/connections"
            if [ -f "$WORK/nginx-${PORT[nginx]:-0}/access.log" ]; then
                echo
                echo "nginx access log: $(awk '$NF != 1 { n++ } END { print n + 0 }' \
                    "$WORK/nginx-${PORT[nginx]}/access.log") of" \
                    "$(wc -l <"$WORK/nginx-${PORT[nginx]}/access.log") requests" \
                    "came on a connection that had already served one."
            fi
            echo
        fi
        if has corvansel && { part hold || part load; }; then
            echo "### Sizing figures (corvansel)"
            echo
            sizing_lines
            echo
        fi
        if part load && has corvansel && has floor && has busybox && has nginx; then
            echo "### Targets (corvansel)"
            echo
            local c
            for c in 1 32; do
                target "small file, $c client(s): req/s × floor" \
                    "$(run_ratio corvansel floor small$c rps)" 0.85 min
                target "small file, $c client(s): req/s × busybox httpd" \
                    "$(run_ratio corvansel busybox small$c rps)" 1.5 min
            done
            target "small file, 32 clients: p99 latency × floor" \
                "$(run_ratio corvansel floor small32 p99)" 1.2 max
            target "large file: throughput × nginx" \
                "$(run_ratio corvansel nginx large mibs)" 0.85 min
            target "worker private memory, waiting: × busybox httpd" \
                "$(ratio "$(mem_fig corvansel waiting)" "$(mem_fig busybox waiting)")" 1 below
            target "worker private memory, sending: × busybox httpd" \
                "$(ratio "$(mem_fig corvansel sending)" "$(mem_fig busybox sending)")" 1 below
            echo
        fi
        echo "## Machine"
        echo
        echo "- $(nproc) cores, $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)," \
            "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
        # shellcheck disable=SC1091 # the machine's own description
        echo "- $(. /etc/os-release && echo "$PRETTY_NAME"), kernel $(uname -r)"
        # Thousands of held connections ending at once make the run queue
        # long for a moment, which the load average after them shows.
        echo "- load average before the run: $LOAD_BEFORE;${LOAD_BEFORE_HOLD:+" before the held connections: $LOAD_BEFORE_HOLD;"}" \
            "after: $(cut -d' ' -f1-3 /proc/loadavg)"
        echo "- the machine's CPU time during the run (/proc/stat): $(
            echo "$TICKS_BEFORE $(cpu_ticks)" | awk '{ all = $6 - $3
                if (all > 0) printf "%.0f%% busy, %.0f%% steal",
                    100 * ($4 - $1) / all, 100 * ($5 - $2) / all }')"
        echo "- $(g++ --version | head -1); $(wrk -v 2>&1 | head -1 | cut -d' ' -f1-2)"
        echo "- $(nginx -v 2>&1); $(busybox 2>&1 | head -1 | cut -d' ' -f1-2);" \
            "$(mini_httpd -V 2>&1 | head -1)"
        if has corvansel; then
            echo "- corvansel $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')$(
                git -C "$ROOT" diff --quiet HEAD -- CMakeLists.txt server http compat 2>/dev/null ||
                echo ' (with uncommitted changes)'), $(file -b "$BIN" | cut -d, -f1-5)"
        fi
    } >"$REPORT"
}

# --- main ---------------------------------------------------------------

install_missing
# make bench installs before it builds, so that the build finds lld.
[ -n "${BENCH_INSTALL_ONLY:-}" ] && exit 0

if has corvansel && [ ! -x "$BIN" ]; then
    log "no $BIN; run 'make build' first (or leave corvansel out of BENCH_SERVERS)"
    exit 1
fi

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
LOAD_BEFORE_HOLD=
TICKS_BEFORE=$(cpu_ticks)
WORK=$(mktemp -d /tmp/corvansel-bench.XXXXXX)
RESULTS=$WORK/results
: >"$RESULTS"
: >"$WORK/connections"
: >"$WORK/memory"
: >"$WORK/faults"
: >"$WORK/tree"
: >"$WORK/times"
: >"$WORK/hold"
mkdir "$WORK/bin"

g++ -std=c++20 -O2 -Wall -Wextra -Werror -fno-exceptions -fno-rtti -static \
    -o "$WORK/bin/floor" "$ROOT/bench/floor.cc"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/bin/startup" \
    "$ROOT/bench/startup.cc"
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$WORK/bin/hold" \
    "$ROOT/bench/hold.cc"

# The peers drop their privileges to nobody, who must read the files.
mkdir -p "$WORK/www"
head -c $SMALL_SIZE /dev/urandom >"$WORK/www/small.bin"
head -c $LARGE_SIZE /dev/urandom >"$WORK/www/large.bin"
chmod 755 "$WORK" "$WORK/www"
chmod 644 "$WORK/www/small.bin" "$WORK/www/large.bin"
cat "$WORK/www/large.bin" >/dev/null

if part load || part memory; then
    for s in $SERVERS; do
        start_server "$s"
        log "$s listening on 127.0.0.1:${PORT[$s]} (pid ${ROOTPID[$s]})"
    done
fi

if part load; then
    for s in $SERVERS; do
        check_connections "$s"
    done

    # Within each run the servers take each test in turn, back to back, in
    # the opposite order every other run: whatever else the machine does
    # then weighs on all of them alike, and a ratio taken within one run
    # compares figures measured seconds apart rather than a minute apart.
    REVERSED=$(echo "$SERVERS" | tr ' ' '\n' | tac | tr '\n' ' ')
    for r in $(seq 1 "$RUNS"); do
        log "run $r of $RUNS"
        order=$SERVERS
        [ $((r % 2)) -eq 0 ] && order=$REVERSED
        for s in $order; do
            wrk_run "$s" small1 1 1 /small.bin "$r"
        done
        if [ "$r" -le "$SCALE_RUNS" ]; then
            for c in $SCALE_CLIENTS; do
                [ "$c" -eq 1 ] || [ "$c" -eq 32 ] && continue
                for s in $order; do
                    wrk_run "$s" "small$c" 2 "$c" /small.bin "$r"
                done
            done
        fi
        for s in $order; do
            wrk_run "$s" small32 2 32 /small.bin "$r"
        done
        for s in $order; do
            [ "$s" = floor ] || wrk_run "$s" large 1 1 /large.bin "$r"
        done
    done
fi

if part memory; then
    log "memory"
    for r in 1 2 3; do
        for s in $SERVERS; do
            worker_private "$s" waiting
            [ "$s" = floor ] || worker_private "$s" sending
        done
    done
    for s in $SERVERS; do
        tree_memory "$s"
    done
fi

if part startup; then
    log "start-up"
    for s in $SERVERS; do
        port=$(pick_port)
        # shellcheck disable=SC2046 # the command is split on purpose
        if [ "$s" = floor ] || [ "$s" = corvansel ]; then
            echo "$s banner $("$WORK/bin/startup" banner "$STARTUP_RUNS" "$port" \
                $(server_command "$s" "$port"))" >>"$WORK/times"
        fi
        # shellcheck disable=SC2046
        echo "$s connect $("$WORK/bin/startup" connect "$STARTUP_RUNS" "$port" \
            $(server_command "$s" "$port"))" >>"$WORK/times"
    done
fi

if part hold; then
    LOAD_BEFORE_HOLD=$(cut -d' ' -f1-3 /proc/loadavg)
    for s in $SERVERS; do
        log "$HOLD connections held open: $s"
        hold_test "$s"
    done
fi

write_report
# The figures of every single run, for a look behind the medians: name,
# test, then wrk's requests, duration (µs), bytes, p50 and p99 (µs),
# socket errors, status errors, the run's number, the machine's busy time
# and wrk's CPU time (µs).
cp "$RESULTS" "${REPORT%.md}.runs"
cleanup
cat "$REPORT"
log "report written to $REPORT, every run's figures to ${REPORT%.md}.runs"
