# Sourced by bench/run.sh: how long each server takes to start, timed by
# bench/startup.cc, and the table.
# shellcheck shell=bash

# startup_times NAME banner|connect PORT: one line "NAME MODE µs" a start.
startup_times() {
    local name=$1 mode=$2 port=$3 t
    # shellcheck disable=SC2046 # the command is split on purpose
    for t in $("$WORK/bin/startup" "$mode" "$STARTUP_RUNS" "$port" \
        $(server_command "$name" "$port")); do
        echo "$name $mode $t"
    done
}

measure_startup() {
    local s port
    log "start-up"
    for s in $SERVERS; do
        port=$(pick_port)
        # Only these two print a banner once they listen.
        if [ "$s" = floor ] || [ "$s" = corvansel ]; then
            startup_times "$s" banner "$port" >>"$WORK/times"
        fi
        startup_times "$s" connect "$port" >>"$WORK/times"
    done
}

report_startup() {
    local s b c fb fc nc
    cat <<EOF
### Start-up (µs, median of $STARTUP_RUNS starts)

From the fork that execs the server to its banner on standard output
(servers that print one), and to the first connection accepted on
its port (every server; polled every 50 µs).

EOF
    fb=$(median_of "$WORK/times" floor banner)
    fc=$(median_of "$WORK/times" floor connect)
    nc=$(median_of "$WORK/times" nginx connect)
    echo "| server | to banner | × floor | to accepting | × floor | × nginx |"
    echo "|---|---:|---:|---:|---:|---:|"
    for s in $SERVERS; do
        b=$(median_of "$WORK/times" "$s" banner)
        c=$(median_of "$WORK/times" "$s" connect)
        echo "| $s | $(num "$b") | $(ratio "$b" "$fb") | $(num "$c") |" \
            "$(ratio "$c" "$fc") | $(ratio "$c" "$nc") |"
    done
    echo
}
