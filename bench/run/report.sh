# Sourced by bench/run.sh: the report, build/bench-report.md: the tables
# of the parts that ran, in a fixed order, then the figures a deployment
# is sized with, the targets, and the machine the figures come from.
# shellcheck shell=bash

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

# target TEXT VALUE LIMIT min|max|below: one line of the targets list.
target() {
    local text=$1 value=$2 limit=$3 kind=$4 verdict sign="≤"
    verdict=$(awk -v v="$value" -v l="$limit" -v k="$kind" 'BEGIN {
        if (v == "" || l == "" || v == "–") print "not measured"
        else if ((k == "min" && v + 0 >= l + 0) || (k == "max" && v + 0 <= l + 0) ||
                 (k == "below" && v + 0 < l + 0)) print "met"
        else print "NOT met" }')
    [ "$kind" = min ] && sign="≥"
    [ "$kind" = below ] && sign="<"
    echo "- $text: $value (target $sign $limit): **$verdict**"
}

targets() {
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
}

machine_lines() {
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
}

write_report() {
    {
        echo "## Figures"
        echo
        if part load; then report_load; fi
        if part memory; then report_memory; fi
        if part startup; then report_startup; fi
        if part hold; then report_hold; fi
        if part load; then report_connections; fi
        if has corvansel && { part hold || part load; }; then
            echo "### Sizing figures (corvansel)"
            echo
            sizing_lines
            echo
        fi
        if part load && has corvansel && has floor && has busybox && has nginx; then
            echo "### Targets (corvansel)"
            echo
            targets
            echo
        fi
        echo "## Machine"
        echo
        machine_lines
    } >"$REPORT"
}
