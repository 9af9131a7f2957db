# Sourced by proxy_test.sh: a front end's configuration, the shipped file
# with the test's addresses, and its start on a free port.

# Replaces every from in $conf, a configuration file read in, with to;
# fails when the file no longer has from, so that a change to it cannot
# slip past.
replace() {
    [[ $conf == *"$1"* ]] || die "the configuration has no '$1'"
    conf=${conf//"$1"/"$2"}
}

# Starts a front end with "$@" (start_haproxy or start_nginx) on a free
# port, and on another one if a process took that port meanwhile. Sets
# front_pid and base.
start_front_end() {
    local try
    for ((try = 0; try < 3; try++)); do
        front_port=$(free_port)
        "$@"
        front_pid=$pid
        if listening "$front_pid" "$front_port"; then
            base=https://127.0.0.1:$front_port
            return 0
        fi
        kill -0 "$front_pid" 2>/dev/null && break
    done
    die "${1#start_} did not start: $(cat "$front_out")"
}
