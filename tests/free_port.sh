# Sourced by the shell tests that start servers: free_port.
# shellcheck shell=bash

# A loopback port that nothing listens on, below the range the kernel picks
# client ports from, so that no outgoing connection holds it meanwhile.
free_port() {
    local p
    while :; do
        p=$((10000 + RANDOM % 20000))
        [ -z "$(ss -Htan "sport = :$p")" ] && break
    done
    echo "$p"
}
