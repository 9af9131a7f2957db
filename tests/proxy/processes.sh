# Sourced by proxy_test.sh: failures, and the processes the test starts,
# each in a session of its own, found again and stopped by its id.

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*" >&2
    exit 1
}

tmp=$(mktemp -d)
# Every process started here, each the leader of its own group, and those
# of them not stopped yet, which the exit stops whatever happened before.
started=()
declare -A live=()
cleanup() {
    local pid
    for pid in "${!live[@]}"; do
        kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || :
    done
    for pid in "${!live[@]}"; do
        gone "$pid" || kill -KILL -- "-$pid" 2>/dev/null || :
        wait "$pid" 2>/dev/null || :
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
# A time-out of the test runner ends the test with a signal, and the
# daemons, in sessions of their own, would outlive it.
trap 'exit 1' HUP INT TERM

# Starts a command in a session and process group of its own, so that one
# signal reaches it and everything it forks. Sets $pid.
start() {
    local out=$1
    shift
    : >"$out"
    setsid "$@" >>"$out" 2>&1 </dev/null &
    pid=$!
    started+=("$pid")
    live[$pid]=1
}

# Whether a process of group pgid still runs. One that has ended but not
# been reaped yet (an instance's server process, reaped by init once the
# supervisor is gone) does not count.
running() {
    ps -e -o pgid=,stat= |
        awk -v g="$1" '$1 == g && $2 !~ /^Z/ { n++ } END { exit n == 0 }'
}

# Waits up to ten seconds for a process group to end after a signal.
gone() {
    local i
    for ((i = 0; i < 200; i++)); do
        running "$1" || return 0
        sleep 0.05
    done
    return 1
}

# Stops a process started here and everything it started.
stop() {
    kill -TERM -- "-$1" 2>/dev/null || kill -TERM "$1"
    wait "$1" 2>/dev/null || :
    if gone "$1"; then
        unset "live[$1]"
    else
        fail "processes of group $1 are left after SIGTERM"
    fi
}

# Waits up to ten seconds until pid listens on 127.0.0.1:port; fails when
# the process ended first.
listening() {
    local pid=$1 port=$2 i
    for ((i = 0; i < 200; i++)); do
        kill -0 "$pid" 2>/dev/null || return 1
        [ -n "$(ss -Htln "src 127.0.0.1:$port")" ] && return 0
        sleep 0.05
    done
    return 1
}

