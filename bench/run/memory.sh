# Sourced by bench/run.sh: the private memory and page faults of the
# process serving one connection, and the resident memory of a server's
# whole process tree under 32 clients, and their table.
# shellcheck shell=bash

SAMPLE_INTERVAL=0.25

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

# The number of processes in the tree under a pid and the sums of their
# Rss, Pss and private memory (Private_Clean + Private_Dirty), KiB.
tree_usage() {
    {
        tree_pids "$1" | sed 's|.*|/proc/&/smaps_rollup|' |
            xargs -r cat 2>/dev/null || true
    } | awk '/^Rss:/ { r += $2; n++ } /^Pss:/ { s += $2 }
        /^Private_(Clean|Dirty):/ { p += $2 }
        END { printf "%d %d %d %d\n", n, r, s, p }'
}

# Private memory and minor faults so far of the process serving one
# connection, either waiting for a request that never comes or in the
# middle of sending the large file to a client that does not read.
worker_private() {
    local name=$1 state=$2 port=${PORT[$1]} fd cport pid kib='' faults=''
    exec {fd}<>"/dev/tcp/127.0.0.1/$port"
    if [ "$state" = sending ]; then
        printf 'GET /large.bin HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&"$fd"
    fi
    sleep 0.3
    cport=$(ss -Htn state established "( dport = :$port )" |
        awk '{ n = split($3, a, ":"); print a[n] }' | tail -1)
    pid=
    [ -n "$cport" ] && pid=$(connection_owner "$port" "$cport")
    if [ -n "$pid" ]; then
        kib=$(private_kib "$pid")
        faults=$(proc_stat "$pid" '$8')
    fi
    exec {fd}>&-
    sleep 0.1
    [ -n "$kib" ] && echo "$name $state $kib" >>"$WORK/memory"
    [ -n "$faults" ] && echo "$name $state $faults" >>"$WORK/faults"
    return 0
}

# Resident and proportional memory of the whole process tree of a
# server, sampled while 32 clients load it.
tree_memory() {
    local name=$1 root=${ROOTPID[$1]} wrk i n rss pss
    start_group /dev/null wrk_on "$DURATION" 2 32 \
        "http://127.0.0.1:${PORT[$name]}/small.bin"
    wrk=$LAST_PID
    sleep 0.5
    for i in $(seq 1 $((DURATION * 4 - 2))); do
        kill -0 "$wrk" 2>/dev/null || break
        read -r n rss pss _ < <(tree_usage "$root")
        echo "$name tree $rss $pss $n" >>"$WORK/tree"
        sleep $SAMPLE_INTERVAL
    done
    wait "$wrk" || true
    stop_group "$wrk"
}

measure_memory() {
    local r s
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
}

# The median private memory of a worker, waiting or sending.
mem_fig() {
    median_of "$WORK/memory" "$1" "$2"
}

# Page faults of the process serving one connection, up to the moment it
# was looked at; only for servers that fork a process per connection.
fault_fig() {
    [ "$1" = nginx ] || median_of "$WORK/faults" "$1" "$2"
}

# tree_fig NAME COLUMN: the median of the process tree's Rss (3), Pss (4)
# or number of processes (5).
tree_fig() {
    median_of "$WORK/tree" "$1" tree "$2"
}

report_memory() {
    local s fw frss nrss rss
    cat <<EOF
### Memory (KiB)

Private = Private_Clean + Private_Dirty of the process serving one
connection (for nginx, its worker), while waiting for a request and
while sending the large file to a client that does not read. Resident
total = the sum of Rss (and of Pss) over the server's whole process
tree, sampled every ${SAMPLE_INTERVAL} s under 32 clients. Faults =
the minor page faults of the process serving the connection, from its
fork until it is looked at while sending (not for nginx, whose worker
serves every connection): how much of the program a worker touches.

| server | private, waiting | × floor | private, sending | faults, sending | Rss total | × floor | × nginx | Pss total | processes |
|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|
EOF
    fw=$(mem_fig floor waiting)
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
}
