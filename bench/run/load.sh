# Sourced by bench/run.sh: the request rate, latency and CPU time of each
# server under wrk, one request per connection (bench/report.lua): the
# small file at 1 to 32 clients and the large file at one. Each run's
# figures go to RESULTS, one line a test; the tables take medians of them.
# shellcheck shell=bash

# The numbers of clients at which the small file's rate is taken; 1 and 32
# in every run, the others in the first SCALE_RUNS runs.
SCALE_CLIENTS="1 2 4 8 16 32"

# wrk_on SECONDS THREADS CLIENTS URL: wrk, one request per connection,
# ending in the one line RESULT of bench/report.lua; ended if it hangs.
wrk_on() {
    local seconds=$1 threads=$2 clients=$3 url=$4
    timeout $((seconds + 60)) wrk -t"$threads" -c"$clients" -d"${seconds}s" \
        --timeout 30s -s "$ROOT/bench/report.lua" "$url"
}

# User and system time of a process so far, in clock ticks.
process_ticks() {
    proc_stat "$1" '$12 + $13'
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
    { time wrk_on "$DURATION" "$threads" "$clients" \
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

passive_opens() {
    awk '/^Tcp:/ { if (seen) print $6; seen = 1 }' /proc/net/snmp
}

# Checks that every request really came on a new connection: the
# system's count of accepted connections against wrk's requests, over a
# short run (which also warms the server up). The count is the whole
# machine's, so other traffic can only raise it.
check_connections() {
    local name=$1 before after line reqs
    before=$(passive_opens)
    line=$(wrk_on 1 1 1 "http://127.0.0.1:${PORT[$name]}/small.bin" |
        grep '^RESULT' || true)
    after=$(passive_opens)
    reqs=$(echo "$line" | awk '{ print $2 }')
    [ -n "$reqs" ] && [ "$reqs" -gt 0 ] || reqs=0
    echo "$name $((after - before)) $reqs" >>"$WORK/connections"
}

# Within each run the servers take each test in turn, back to back, in
# the opposite order every other run: whatever else the machine does
# then weighs on all of them alike, and a ratio taken within one run
# compares figures measured seconds apart rather than a minute apart.
measure_load() {
    local s r c order reversed
    for s in $SERVERS; do
        check_connections "$s"
    done
    reversed=$(echo "$SERVERS" | tr ' ' '\n' | tac | tr '\n' ' ')
    for r in $(seq 1 "$RUNS"); do
        log "run $r of $RUNS"
        order=$SERVERS
        [ $((r % 2)) -eq 0 ] && order=$reversed
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
}

# --- figures and tables -------------------------------------------------

# figure(f) in awk: one figure of a line of RESULTS: rps, p50, p99 (µs),
# mibs, errors; cpu: the CPU time in µs per request that the machine spent
# outside wrk; accept: that of the server's accepting process. Empty
# where the line has none.
FIGURE_AWK='
function figure(f) {
    if (f == "rps") return $3 / ($4 / 1e6)
    if (f == "p50") return $6
    if (f == "p99") return $7
    if (f == "mibs") return $5 / ($4 / 1e6) / 1048576
    if (f == "errors") return $8 + $9
    if (f == "cpu") return $3 > 0 ? ($11 - $12) / $3 : ""
    if (f == "accept") return $3 > 0 && $13 >= 0 ? $13 / $3 : ""
    return "" }'

# fig NAME TEST FIELD [LAST]: the median over the runs (up to run LAST) of
# one figure.
fig() {
    local name=$1 test=$2 field=$3 last=${4:-$RUNS}
    awk -v n="$name" -v t="$test" -v f="$field" -v last="$last" "$FIGURE_AWK"'
        $1 == n && $2 == t && $4 > 0 && $10 <= last {
            v = figure(f); if (v != "") print v }' "$RESULTS" | median
}

# run_ratio NAME BASE TEST FIELD [LAST]: the median over the runs (up to
# run LAST) of NAME's figure over BASE's figure in the same run. The two
# were measured back to back, so the drift of a shared machine between
# runs cancels out of each ratio.
run_ratio() {
    local name=$1 base=$2 test=$3 field=$4 last=${5:-$RUNS} value
    value=$(awk -v n="$name" -v b="$base" -v t="$test" -v f="$field" \
        -v last="$last" "$FIGURE_AWK"'
        $2 == t && $4 > 0 && $10 <= last && ($1 == n || $1 == b) {
            x = figure(f); v[$1, $10] = x == "" ? 0 : x }
        END { for (k in v) { split(k, p, SUBSEP)
                if (p[1] == n && (b, p[2]) in v && v[b, p[2]] > 0)
                    print v[k] / v[b, p[2]] } }' "$RESULTS" | median)
    num "$value" 2
}

small_table() {
    local test=$1 s
    echo "| server | req/s | × floor | × nginx | p50 ms | p99 ms | p99 × floor | errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    for s in $SERVERS; do
        echo "| $s | $(num "$(fig "$s" "$test" rps)") |" \
            "$(run_ratio "$s" floor "$test" rps) |" \
            "$(run_ratio "$s" nginx "$test" rps) |" \
            "$(ms "$(fig "$s" "$test" p50)") | $(ms "$(fig "$s" "$test" p99)") |" \
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

large_table() {
    local s
    echo "| server | MiB/s | × nginx | time per file ms | errors |"
    echo "|---|---:|---:|---:|---:|"
    for s in $SERVERS; do
        [ "$s" = floor ] && continue
        echo "| $s | $(num "$(fig "$s" large mibs)") |" \
            "$(run_ratio "$s" nginx large mibs) |" \
            "$(ms "$(fig "$s" large p50)" 1) | $(num "$(fig "$s" large errors)") |"
    done
}

report_load() {
    cat <<EOF
Medians of $RUNS runs of ${DURATION} s each (wrk, one request per
connection: every request carries \`Connection: close\`). Each
ratio (× floor, × nginx, and the targets) is the median over the runs
of the ratio within one run, where the servers took each test back to
back; it can differ a little from the ratio of the medians.

### Small file (1 KiB), 1 client

EOF
    small_table small1
    echo
    echo "### Small file (1 KiB), 32 clients"
    echo
    small_table small32
    echo
    if [ "$SCALE_RUNS" -ge 1 ]; then
        cat <<EOF
### Small file (1 KiB), 1 to 32 clients

req/s by the number of clients, medians of the first $SCALE_RUNS
run(s), which took every number of clients (2 to 16 with two wrk
threads, as 32). CPU per request = the whole machine's busy time
(user, system and interrupts; neither idle nor steal) during the
32-client test less wrk's own, over the requests, median of all
$RUNS runs: the server's time, with the kernel's work on the
client's side of loopback and whatever else ran meanwhile; req/s
per core = 10⁶ over that. Accepting = the CPU time per request of
the one process that holds the listening socket (for a server of
our design, accept and fork); its ceiling = 10⁶ over that, the most
connections a second that process can take with a core to itself,
however many cores the machine has (none for nginx, whose workers
all accept).

EOF
        scale_table
        echo
    fi
    echo "### Large file (64 MiB), 1 client, repeated"
    echo
    large_table
    echo
}

report_connections() {
    local s acc reqs access
    cat <<EOF
### New connections per request

Accepted connections (the system's TcpPassiveOpens) over wrk's
requests in a 1 s check at 1 client; 1.00 means one connection per
request.

| server | accepted | requests | ratio |
|---|---:|---:|---:|
EOF
    while read -r s acc reqs; do
        echo "| $s | $acc | $reqs | $(ratio "$acc" "$reqs") |"
    done <"$WORK/connections"
    # nginx logs every connection's requests (write_nginx_conf).
    access=$WORK/nginx-${PORT[nginx]:-0}/access.log
    if [ -f "$access" ]; then
        echo
        echo "nginx access log: $(awk '$NF != 1 { n++ } END { print n + 0 }' "$access") of" \
            "$(wc -l <"$access") requests came on a connection that had already" \
            "served one."
    fi
    echo
}
