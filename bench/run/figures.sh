# Sourced by bench/run.sh and bench/compare.sh: the CPU time of the
# machine and of a process, and the medians, ratios and number formats of
# every table.
# shellcheck shell=bash

HZ=$(getconf CLK_TCK)

# Clock ticks of the whole machine since boot: busy (user, nice, system,
# interrupts; neither idle, I/O wait nor steal), steal, and all of them.
cpu_ticks() {
    awk '/^cpu / { busy = $2 + $3 + $4 + $7 + $8
                   all = 0; for (i = 2; i <= 9; i++) all += $i
                   print busy, $9, all }' /proc/stat
}

# proc_stat PID EXPR: an awk expression over the fields of
# /proc/PID/stat that follow the command name (which may hold spaces):
# $8 is the minor faults, $12 and $13 the user and system time in ticks.
# Nothing if there is no such process.
proc_stat() {
    [ -n "$1" ] || return 0
    { sed 's/.*) //' "/proc/$1/stat" | awk "{ print $2 }"; } 2>/dev/null || true
}

# The median of the numbers on standard input, one a line; nothing for none.
median() {
    sort -g | awk '{ v[NR] = $1 }
        END { if (NR == 0) print "";
              else if (NR % 2) print v[(NR + 1) / 2];
              else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# median_of FILE NAME KEY [COLUMN]: the median of one column (the third
# unless named) of FILE's lines that begin with NAME and KEY.
median_of() {
    awk -v n="$2" -v k="$3" -v c="${4:-3}" '$1 == n && $2 == k { print $c }' \
        "$1" 2>/dev/null | median
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (a == "" || b == "" || b == 0) print "–"; else printf "%.2f", a / b }'
}

# num VALUE [DECIMALS]: a figure as the report shows it, "–" if missing.
num() {
    awk -v a="$1" -v d="${2:-0}" 'BEGIN {
        if (a == "") print "–"; else printf "%.*f", d, a }'
}

# ms VALUE [DECIMALS]: a figure in µs, in ms with three decimals or as many
# as named.
ms() {
    num "$(awk -v v="$1" 'BEGIN { if (v != "") print v / 1000 }')" "${2:-3}"
}

# How many a second a cost in µs allows.
per_second() {
    awk -v c="$1" 'BEGIN { if (c > 0) print 1e6 / c }'
}
