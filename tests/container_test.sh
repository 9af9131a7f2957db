#!/usr/bin/env bash
# Proves the container image of dist/container/Containerfile, run as a
# container platform runs it: `make image` builds it, under 2 MiB; from a
# read-only root with no /tmp, no capabilities, its non-root user and the
# served directory mounted read-only, it serves a file byte-exact, a range,
# 404 and 403, and logs each exchange on standard output, in podman logs;
# its default command listens on port 8080. The supervisor is PID 1 there:
# a worker killed inside the container and a burst of 200 connections
# leave no zombie; a worker orphaned by the server process is adopted,
# finishes its transfer and is reaped, and the container ends with the
# server process's status; and podman stop, with SIGTERM or any other of
# the four termination signals as the stop signal, ends the container and
# every process in it in the middle of a download, long before the grace
# period.
#
# Needs root, podman and runc (bash .ci/install-deps), curl, nsenter and
# ss. The containers share the host's network and listen on 127.0.0.1
# ports picked here; the default command's port 8080 is reached inside a
# network namespace of its own: no traffic leaves loopback. The exit
# removes every container started here and the image.
#
# usage: container_test.sh source-dir
set -u
src=$1

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*" >&2
    exit 1
}

missing=
for tool in podman runc curl nsenter ss; do
    command -v "$tool" >/dev/null || missing="$missing $tool"
done
[ "$(id -u)" = 0 ] || missing="$missing root"
if [ -n "$missing" ]; then
    # CI installs every tool (.ci/install-deps): there a missing one fails.
    [ "${CI:-}" = true ] && die "missing:$missing"
    echo "container: skipped, missing:$missing (bash .ci/install-deps)" >&2
    exit 77
fi

tmp=$(mktemp -d)
# shellcheck source=tests/container_util.sh
. "$(dirname "$0")/container_util.sh"
trap cleanup EXIT
# A time-out of the test runner ends the test with a signal: the
# containers must not outlive it.
trap 'exit 1' HUP INT TERM

# The served directory, readable by all as it must be for the image's
# user, but for one file that only root may read.
www=$tmp/www
mkdir "$www"
chmod 0755 "$www"
head -c 16M /dev/urandom >"$www/big"
printf 'small\n' >"$www/small"
printf 'secret\n' >"$www/private"
chmod 0644 "$www/big" "$www/small"
chmod 0600 "$www/private"
big_size=$(stat -c %s "$www/big")

# --- The image ------------------------------------------------------------

# make check runs this under make, whose jobserver flags must not reach
# the inner make.
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES GNUMAKEFLAGS
if ! make -C "$src" image IMAGE="$image" >"$tmp/make.log" 2>&1; then
    tail -n 40 "$tmp/make.log" >&2
    die "make image failed"
fi
size=$(pm image inspect --format '{{.Size}}' "$image")
echo "image size: $size bytes"
[ "$size" -lt $((2 * 1024 * 1024)) ] || fail "the image takes $size bytes"

# The command the image runs by default, as the README runs it, in a
# network namespace with loopback alone.
start default --network none --read-only --read-only-tmpfs=false \
    --cap-drop=all -v "$www:/srv/www:ro" "$image" ||
    die "the image did not start"
if wait_output default '^Listening on 0\.0\.0\.0 port 8080$'; then
    got=$(nsenter -t "$(pm inspect --format '{{.State.Pid}}' "$prefix-default")" -n \
        curl -sS --max-time 60 http://127.0.0.1:8080/small)
    [ "$got" = small ] || fail "default command: /small gave '$got'"
else
    fail "default command: no banner"
fi
pm rm -f -t 0 "$prefix-default" >/dev/null

# --- What a client sees, and the log --------------------------------------

serve srv || die "the image did not serve on 127.0.0.1"
url=http://127.0.0.1:$port
# target, curl options, status, file that holds the body expected
head -c 1001 "$www/big" | tail -c 1000 >"$tmp/range"
printf '404 Not Found\n' >"$tmp/404"
printf '403 Forbidden\n' >"$tmp/403"
cases=(
    "/big|         |200|$www/big"
    "/big|-r 1-1000|206|$tmp/range"
    "/missing|     |404|$tmp/404"
    "/private|     |403|$tmp/403"
)
for c in "${cases[@]}"; do
    IFS='|' read -r target opts status body <<<"$c"
    # shellcheck disable=SC2086 # options are words
    got=$(curl -sS --max-time 60 -A container-test $opts \
        -o "$tmp/body" -w '%{http_code}' "$url$target")
    [ "$got" = "$status" ] || fail "$target $opts: status $got, not $status"
    cmp -s "$tmp/body" "$body" || fail "$target $opts: another body"
done
# The 403 is the image's user at work: root would have read the file.
if wait_output srv $'\tcontainer-test\t' 4; then
    printf '%s\t127.0.0.1\t%s\tcontainer-test\t%s\n' \
        "$big_size" 200 /big 1000 206 /big 0 404 /missing 0 403 /private \
        >"$tmp/log.expected"
    pm logs "$prefix-srv" 2>/dev/null | grep $'\tcontainer-test\t' |
        diff "$tmp/log.expected" - >&2 || fail "the log lines differ"
else
    fail "no log lines in podman logs"
fi
procs | awk '$4 == 0 { exit 1 }' || fail "a process runs as root"

# --- Processes as PID 1 reaps them ----------------------------------------

# A worker killed by its PID in the container's PID namespace, while it
# waits for a request head.
exec {held}<>"/dev/tcp/127.0.0.1/$port"
if wait_worker; then
    nsenter -t "$p1" -p kill -KILL "$(ns_pid "$(workers | awk '{ print $1; exit }')")" ||
        fail "kill in the container failed"
else
    fail "no worker for a held connection"
fi
exec {held}<&-

seq 200 | xargs -P 16 -I '{}' curl -sS --max-time 60 -A burst \
    -o /dev/null -w '%{http_code}\n' "$url/small" >"$tmp/codes"
got=$(grep -c '^200$' "$tmp/codes")
[ "$got" = 200 ] || fail "burst: $got of 200 answered 200"
wait_output srv $'\tburst\t/small$' 200 || fail "burst: log lines missing"
wait_workers_done || fail "workers still run after the burst"
procs | awk '$3 ~ /^Z/ { print "zombie:", $0; n++ } END { exit n > 0 }' >&2 ||
    fail "zombies in the container"
[ "$(procs | wc -l)" = 2 ] ||
    fail "more than the supervisor and the server process remain: $(procs)"
pm rm -f -t 0 "$prefix-srv" >/dev/null

# Opens a connection on $download and asks for /big, and reads nothing,
# so that its worker, once the socket buffers are full, waits in the
# middle of the transfer (16 MiB is more than they take).
start_download() {
    exec {download}<>"/dev/tcp/127.0.0.1/$port"
    printf 'GET /big HTTP/1.0\r\nUser-Agent: download\r\n\r\n' >&"$download"
}

# A worker whose server process was killed is the supervisor's child from
# then on and its transfer goes on; the container ends once the worker
# has ended and been reaped, and not before, with the server process's
# status, 137 for its SIGKILL, not the worker's. The worker waits for the
# client for 30 seconds, far longer than the steps before the client
# reads.
serve orphan || die "the image did not serve on 127.0.0.1"
start_download
if wait_worker; then
    worker=$(workers | awk '{ print $1 }')
    server=$(procs | awk -v p1="$p1" '$2 == p1 { print $1 }')
    nsenter -t "$p1" -p kill -KILL "$(ns_pid "$server")"
    until=$((SECONDS + 120))
    # Until the worker is adopted or gone.
    while [ "$(ps -o ppid= -p "$worker" | tr -d ' ')" = "$server" ] &&
        [ "$SECONDS" -lt "$until" ]; do
        sleep 0.1
    done
    [ "$(ps -o ppid= -p "$worker" | tr -d ' ')" = "$p1" ] ||
        fail "the orphaned worker was not adopted by the supervisor"
    kill -0 "$p1" 2>/dev/null ||
        fail "the supervisor ended while a worker was sending"
else
    fail "no worker for a download"
fi
cat <&"$download" >"$tmp/response"
exec {download}<&-
tail -c "$big_size" "$tmp/response" | cmp -s - "$www/big" ||
    fail "the orphaned worker's download is not whole"
wait_output orphan "^$big_size"$'\t127.0.0.1\t200\tdownload\t/big$' ||
    fail "the orphaned worker did not log its exchange"
if wait_exited orphan; then
    got=$(exit_code orphan)
    [ "$got" = 137 ] || fail "orphan: exit status $got, not the server's 137"
else
    fail "the container goes on after its last worker"
fi

# --- Stopping -------------------------------------------------------------

# podman stop sends the stop signal, then SIGKILL once the grace period
# is over. The supervisor ends itself with status 1 on any of the four;
# status 137 would be SIGKILL's, that is a signal not acted on.
grace=60
for sig in TERM HUP INT QUIT; do
    serve "stop-$sig" --stop-signal "SIG$sig" ||
        die "the image did not serve on 127.0.0.1"
    start_download
    wait_worker || fail "SIG$sig: no worker for a download"
    t0=$EPOCHREALTIME
    pm stop -t "$grace" "$prefix-stop-$sig" >/dev/null
    t1=$EPOCHREALTIME
    took=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
    echo "podman stop with SIG$sig: $took s of a $grace s grace period"
    awk -v t="$took" -v g="$grace" 'BEGIN { exit !(t < g / 2) }' ||
        fail "SIG$sig: podman stop took $took s"
    got=$(exit_code "stop-$sig")
    [ "$got" = 1 ] || fail "SIG$sig: exit status $got, not 1"
    [ -z "$(procs)" ] || fail "SIG$sig: processes left: $(procs)"
    got=$(wc -c <&"$download")
    exec {download}<&-
    [ "$got" -lt "$big_size" ] || fail "SIG$sig: the download was not cut"
    pm rm -f -t 0 "$prefix-stop-$sig" >/dev/null
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "container: all checks passed"
