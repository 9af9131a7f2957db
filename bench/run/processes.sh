# Sourced by bench/run.sh and bench/compare.sh: the processes measured,
# each started in a process group of its own and stopped with the whole
# group; free loopback ports; and, on any exit, every process still
# running stopped and the work folder ($WORK) removed.
# shellcheck shell=bash

WORK=
PIDS=()

cleanup() {
    local pid i
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

# start_group OUT COMMAND...: starts a command in a process group of its
# own, so that stopping the group also ends the workers it forked; its
# output goes to OUT, its errors to $WORK/stderr.log. Sets LAST_PID and
# appends it to PIDS.
start_group() {
    local out=$1
    shift
    set -m
    "$@" >"$out" 2>>"$WORK/stderr.log" </dev/null &
    LAST_PID=$!
    set +m
    PIDS+=("$LAST_PID")
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

# A loopback port that nothing listens on and no connection uses.
pick_port() {
    local i p
    for i in $(seq 1 500); do
        p=$((20000 + RANDOM % 10000))
        if [ -z "$(ss -Hltn "sport = :$p")" ] &&
            [ -z "$(ss -Htan "( sport = :$p or dport = :$p )")" ]; then
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

# The pids of the whole process tree under root, one a line.
tree_pids() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END { for (p in parent) { q = p
                while (q != root && (q in parent) && q > 1) q = parent[q]
                if (q == root) print p } }'
}
