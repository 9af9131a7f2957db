# Sourced by bench/run.sh: what HOLD connections held open cost each
# server (bench/hold.cc), in memory and in the latency of a client beside
# them, and the tables.
# shellcheck shell=bash

# A held connection sends one more byte of its request head this often,
# well within the 30 s corvansel waits for each read.
HOLD_TRICKLE=10

# The memory a server and the machine use at one moment: the number of
# processes in the server's tree and the sums of their Rss, Pss and
# private memory; the kernel's process stacks, page tables and
# unreclaimable slab (process, memory map and socket structures); and the
# machine's used memory, MemTotal less MemAvailable. KiB.
hold_usage() {
    echo "$(tree_usage "$1") $(awk '/^(KernelStack|PageTables|SUnreclaim):/ { k += $2 }
        /^MemTotal:/ { t = $2 } /^MemAvailable:/ { a = $2 }
        END { printf "%d %d\n", k, t - a }' /proc/meminfo)"
}

# hold_test NAME: a fresh instance of the server; a client alone on it
# (one request per connection, the small file); then HOLD connections
# held open by bench/hold.cc, the memory that takes, and the same client
# beside them. A held connection trickles a byte of an unfinished head
# every HOLD_TRICKLE s; the floor gets none, since it would answer the
# first byte and it never times out.
hold_test() {
    local name=$1 port pid hold trickle=$HOLD_TRICKLE i held='' ramp='' open=''
    # nginx takes at most worker_connections per worker: room for all of
    # them in either worker, whichever accepts them.
    launch "$name" "$WORK/hold-$name.out" $((HOLD + 1024))
    port=$LAST_PORT
    pid=$LAST_PID
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
    read -r _ open _ < <(grep '^open' "$WORK/hold.out") || true
    echo "$name held ${held:-0} ${ramp:-0} ${open:-0}" >>"$WORK/hold"
    stop_group "$pid"
}

measure_hold() {
    local s
    LOAD_BEFORE_HOLD=$(cut -d' ' -f1-3 /proc/loadavg)
    for s in $SERVERS; do
        log "$HOLD connections held open: $s"
        hold_test "$s"
    done
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

report_hold() {
    local s
    cat <<EOF
### Held connections

$HOLD connections to a fresh instance of each server, opened as fast
as it takes them off its listen queue (bench/hold.cc), each then
sending one byte of an unfinished request head every $HOLD_TRICKLE s (to
the floor nothing: it would answer the first byte, and it never
times out); nginx with worker_connections $((HOLD + 1024)). Held =
open once all were made; open at the end = still held when the
client beside them had finished. Processes = the server's process
tree while they were held. Memory, in KiB per held connection: the
growth from before they were opened to while they were held, over
the number held. Pss and private = those of the server's processes
(smaps_rollup; Pss counts a shared page once over all processes).
Kernel = KernelStack + PageTables + SUnreclaim of /proc/meminfo:
process stacks, page tables, process and socket structures, both
ends of each connection, since the client runs on the same machine.
Machine = MemTotal − MemAvailable: all of it, and whatever else
changed on the machine meanwhile.

| server | held | open at the end | processes | opened per s | Pss | private | kernel | machine |
|---|---:|---:|---:|---:|---:|---:|---:|---:|
EOF
    for s in $SERVERS; do
        echo "| $s | $(num "$(hold_fig "$s" held)") | $(num "$(hold_fig "$s" open)") |" \
            "$(num "$(hold_fig "$s" processes)") | $(num "$(hold_fig "$s" rate)") |" \
            "$(num "$(hold_fig "$s" pss)" 1) | $(num "$(hold_fig "$s" private)" 1) |" \
            "$(num "$(hold_fig "$s" kernel)" 1) | $(num "$(hold_fig "$s" machine)" 1) |"
    done
    cat <<EOF

A client beside them: wrk, one client, one request per connection for
the 1 KiB file, ${DURATION} s alone on the fresh instance, then ${DURATION} s while the
connections are held.

| server | req/s alone | req/s beside | p50 ms alone | p50 ms beside | p99 ms alone | p99 ms beside | errors beside |
|---|---:|---:|---:|---:|---:|---:|---:|
EOF
    for s in $SERVERS; do
        echo "| $s | $(num "$(fig "$s" alone rps)") | $(num "$(fig "$s" beside rps)") |" \
            "$(ms "$(fig "$s" alone p50)") | $(ms "$(fig "$s" beside p50)") |" \
            "$(ms "$(fig "$s" alone p99)") | $(ms "$(fig "$s" beside p99)") |" \
            "$(num "$(fig "$s" beside errors)") |"
    done
    echo
}
