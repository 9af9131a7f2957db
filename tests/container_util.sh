# Helpers of container_test.sh, sourced by it: podman as this machine
# runs it, the test's containers and their removal, waiting
# for a line of a container's output, and a container's processes as the
# host sees them. Expects $tmp, the test's scratch directory, and $www,
# the served one.
# shellcheck shell=bash disable=SC2154

# podman from Debian 12 starts a container on a system that mixes cgroup
# versions only with runc and the cgroupfs manager, and there refuses its
# default resource limits; these settings work on the other systems too.
pm() {
    podman --runtime runc --cgroup-manager=cgroupfs "$@"
}
limits=(--ulimit nofile=1024:4096 --ulimit nproc=4096:4096)

# The image and every container are named from this prefix, unique to the
# run, since podman's store is shared by whoever else runs this test on
# the machine.
prefix=corvansel-test-$$
image=localhost/$prefix
cleanup() {
    local names
    names=$(pm ps -a --filter "name=^$prefix-" --format '{{.Names}}' 2>/dev/null)
    if [ -n "$names" ]; then
        # shellcheck disable=SC2086 # one name a word
        pm rm -f -t 0 $names >/dev/null 2>&1
    fi
    pm rmi -f "$image" >/dev/null 2>&1
    rm -rf "$tmp"
}

# Starts container $prefix-name detached; the arguments are podman run's.
# An image missing from the store fails at once instead of being looked
# for in a registry.
start() {
    local name=$1
    shift
    pm run -d --pull=never --name "$prefix-$name" "${limits[@]}" "$@" >/dev/null
}

# shellcheck source=tests/free_port.sh
. "$(dirname "${BASH_SOURCE[0]}")/free_port.sh"

state() {
    pm inspect --format '{{.State.Status}}' "$prefix-$1" 2>/dev/null
}
exit_code() {
    pm inspect --format '{{.State.ExitCode}}' "$prefix-$1"
}

# Waits until the output of container name has count lines (default 1)
# matching the extended regular expression; fails as soon as the
# container has ended without them. The limit only keeps a fault from
# hanging the test: it is far above what any machine takes.
wait_output() {
    local name=$1 pattern=$2 count=${3:-1} until=$((SECONDS + 120)) n
    while [ "$SECONDS" -lt "$until" ]; do
        n=$(pm logs "$prefix-$name" 2>&1 | grep -Ec -- "$pattern")
        [ "$n" -ge "$count" ] && return 0
        [ "$(state "$name")" = running ] || break
        sleep 0.1
    done
    echo "container $name, $n of $count lines /$pattern/:" >&2
    pm logs "$prefix-$name" 2>&1 | tail -n 5 >&2
    return 1
}

# Waits until container name has ended, with the same kind of limit.
wait_exited() {
    local until=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$until" ]; do
        [ "$(state "$1")" = running ] || return 0
        sleep 0.1
    done
    return 1
}

# Starts the image as container name on the host's network, serving $www
# read-only on 127.0.0.1 and a free port, and waits for its banner. The
# root file system is read-only too, without the tmpfs podman would mount
# on /tmp, /var/tmp and /run: the server needs no writable directory. It
# picks another port when one was taken meanwhile. Sets $port, $p1, the
# host's PID of the supervisor, and $ns, the container's PID namespace.
serve() {
    local name=$1 _
    shift
    for _ in 1 2 3 4 5; do
        port=$(free_port)
        pm rm -f -t 0 "$prefix-$name" >/dev/null 2>&1
        start "$name" --network host --read-only --read-only-tmpfs=false \
            --cap-drop=all -v "$www:/srv/www:ro" "$@" \
            "$image" -l 127.0.0.1 "$port" || return 1
        if wait_output "$name" "^Listening on 127.0.0.1 port $port\$"; then
            p1=$(pm inspect --format '{{.State.Pid}}' "$prefix-$name")
            ns=$(ps -o pidns= -p "$p1")
            return 0
        fi
        pm logs "$prefix-$name" 2>&1 | grep -q 'Address already in use' ||
            return 1
    done
    return 1
}

# The processes in PID namespace $ns as the host sees them, one a line:
# host PID, parent's host PID, state (ps STAT) and user ID. A zombie is
# listed too, with state Z, until it is reaped.
procs() {
    ps -e -o pid=,ppid=,pidns=,stat=,uid= |
        awk -v ns="$ns" '$3 == ns { print $1, $2, $4, $5 }'
}

# The PID that host process pid has inside its container.
ns_pid() {
    awk '$1 == "NSpid:" { print $NF }' "/proc/$1/status"
}

# The workers: every process but the supervisor and its children, the
# server process and, once that has ended, the workers it left.
workers() {
    procs | awk -v p1="$p1" '$1 != p1 && $2 != p1'
}

# Waits until no worker is left but zombies; fails when some still run
# after the usual limit.
wait_workers_done() {
    local until=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$until" ]; do
        workers | awk '$3 !~ /^Z/ { n++ } END { exit n > 0 }' && return 0
        sleep 0.1
    done
    return 1
}

# Waits until a worker runs, the limit as above.
wait_worker() {
    local until=$((SECONDS + 120))
    while [ "$SECONDS" -lt "$until" ]; do
        [ -n "$(workers)" ] && return 0
        sleep 0.1
    done
    return 1
}
