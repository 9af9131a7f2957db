#!/usr/bin/env bash
# The access log as the README tells operators to keep and read it: the
# server's output through ts(1) appended to a file, rotated mid-run with
# dist/logrotate.d/corvansel, the README's awk lines, and the goaccess
# report with the documented formats, for that file and for the journal's
# `journalctl -o short-iso --all` shape. A few dozen requests of known
# statuses and sizes must come out of each exactly.
#
# usage: log_report_test.sh source-dir binary
set -u
src=$1
binary=$2
tmp=$(mktemp -d)
server=
stamper=
cleanup() {
    if [ -n "$server" ]; then
        kill -TERM "$server" 2>/dev/null
        wait "$server" 2>/dev/null
        # The supervisor leads the group of every server process.
        kill -KILL -- "-$server" 2>/dev/null
    fi
    if [ -n "$stamper" ]; then
        kill "$stamper" 2>/dev/null
        wait "$stamper" 2>/dev/null
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

missing=
for tool in ts goaccess jq logrotate curl shuf; do
    command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    echo "missing:$missing (bash .ci/install-deps installs them)" >&2
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi

# The documented pieces: the time stamp, the filter that drops the banner
# and gives a request refused before its target a target of "-" (goaccess
# drops a line without one), and the two goaccess formats.
stamp='%Y-%m-%dT%H:%M:%S%z'
keep_requests() {
    awk -F '\t' -v OFS='\t' 'NF == 5 { if ($5 == "") $5 = "-"; print }'
}
datetime_format='%Y-%m-%dT%H:%M:%S%z'
file_format='%x %b\t%h\t%s\t%u\t%U'
journal_format='%x %^ %^: %b\t%h\t%s\t%u\t%U'

www=$tmp/www
mkdir "$www"
head -c 3000 /dev/zero >"$www/big"
printf 'ten bytes\n' >"$www/notes.txt"
printf 'secret\n' >"$www/.hidden"
log=$tmp/corvansel.log

# Starts the server on a free port with its output stamped and appended
# to the log, and waits for the banner there.
start_server() {
    local attempt
    mkfifo "$tmp/out"
    for attempt in 1 2 3 4 5; do
        port=$(shuf -i 20000-60999 -n 1)
        : >"$log"
        ts "$stamp" <"$tmp/out" >>"$log" &
        stamper=$!
        "$binary" -d "$www" -l 127.0.0.1 "$port" >"$tmp/out" 2>"$tmp/err" &
        server=$!
        for _ in $(seq 200); do
            grep -q "Listening on 127.0.0.1 port $port\$" "$log" && return 0
            kill -0 "$server" 2>/dev/null || break
            sleep 0.05
        done
        # A port taken meanwhile: the server ended, and ts with it.
        kill -TERM "$server" 2>/dev/null
        wait "$server" "$stamper" 2>/dev/null
        server= stamper=
    done
    cat "$tmp/err" >&2
    return 1
}

# Waits until the log holds n lines.
wait_lines() {
    for _ in $(seq 200); do
        [ "$(wc -l <"$log")" -ge "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

get() {
    curl -s -o /dev/null "$@" "http://127.0.0.1:$port/${target:-big}"
}

if ! start_server; then
    echo "FAIL: no banner" >&2
    exit 1
fi

# The first half, then a rotation, then the rest.
for _ in $(seq 10); do get; done
for _ in $(seq 3); do get -I; done
for _ in $(seq 4); do get -r 0-99; done
get -r 5000-
wait_lines 19 || fail "the first 18 lines did not come"
sed "s#^/var/log/corvansel\.log #$log #" \
    "$src/dist/logrotate.d/corvansel" >"$tmp/logrotate.conf"
logrotate -s "$tmp/logrotate.state" -f "$tmp/logrotate.conf" ||
    fail "logrotate"
[ -s "$log.1" ] && [ ! -s "$log" ] || fail "logrotate did not rotate"

for _ in $(seq 5); do target=notes.txt get; done
for _ in $(seq 6); do target=missing get; done
for _ in $(seq 2); do target=.hidden get; done
for _ in $(seq 2); do get -H 'If-Modified-Since: Fri, 31 Dec 2077 23:59:59 GMT'; done
# Connections closed before a request: 400, with no target.
for _ in 1 2; do
    exec 3<>"/dev/tcp/127.0.0.1/$port" && exec 3<&-
done
wait_lines 17 || fail "the last 17 lines did not come"
kill -TERM "$server"
wait "$server" "$stamper"
server= stamper=

# Copy and truncate left no hole before the lines written after it.
for f in "$log.1" "$log"; do
    tr -d '\000' <"$f" | cmp -s - "$f" || fail "NUL bytes in $f"
done
cat "$log.1" "$log" >"$tmp/all"
head -n 1 "$tmp/all" | grep -q "^[-0-9T:+]* Listening on " ||
    fail "the banner is not the first line, stamped"

sent=35
bytes=$((10 * 3000 + 4 * 100 + 5 * 10))
statuses='200 18
206 4
304 2
400 2
403 2
404 6
416 1'

# The README's awk lines, on the lines as the server wrote them.
cut -d ' ' -f 2- "$tmp/all" >"$tmp/plain"
got=$(awk -F '\t' 'NF == 5 { n += $1 } END { print n }' "$tmp/plain")
[ "$got" = "$bytes" ] || fail "awk bytes sent: $got, not $bytes"
got=$(awk -F '\t' 'NF == 5 { print $3 }' "$tmp/plain" | sort | uniq -c |
    awk '{ print $2, $1 }')
[ "$got" = "$statuses" ] || fail "awk answers by status:
$got"

# Checks a goaccess JSON report against what was sent.
check_report() {
    local name=$1 json=$2 got
    got=$(jq -r '.general | "\(.total_requests) \(.valid_requests) \(.failed_requests) \(.bandwidth)"' "$json")
    [ "$got" = "$sent $sent 0 $bytes" ] ||
        fail "$name: total, valid, failed, bytes: $got"
    got=$(jq -r '[.status_codes.data[].items[] | "\(.data[0:3]) \(.hits.count)"] | sort | .[]' "$json")
    [ "$got" = "$statuses" ] || fail "$name: statuses:
$got"
    # /big: 10 whole, 3 HEAD, 4 ranges, 1 unsatisfiable, 2 not modified.
    got=$(jq -r '.requests.data[0] | "\(.data) \(.hits.count) \(.bytes.count)"' "$json")
    [ "$got" = "/big 20 30400" ] || fail "$name: top file: $got"
}

keep_requests <"$tmp/all" |
    goaccess - --log-format="$file_format" \
        --datetime-format="$datetime_format" \
        -o "$tmp/file.html" -o "$tmp/file.json" >"$tmp/goaccess.err" 2>&1 ||
    { cat "$tmp/goaccess.err" >&2; fail "goaccess on the stamped file"; }
check_report "stamped file" "$tmp/file.json"
grep -q '<html' "$tmp/file.html" || fail "no HTML report"

# journalctl -u corvansel -o short-iso --all prints an entry as
# "<time> <host> <identifier>[<pid>]: <message>", the time in the same
# form as the stamp above and the TABs kept (without --all each becomes
# eight blanks). Here are the same lines in that shape, with what else
# the journal holds: a boot marker and a warning on standard error.
{
    echo '-- Boot 3d1219c7c4c5404aaa1f6d2a48adfda4 --'
    sed 's/^\([^ ]*\) /\1 host1 corvansel[4242]: /' "$tmp/all"
    echo "$(head -c 24 "$tmp/all") host1 corvansel[4242]: corvansel: fork: Resource temporarily unavailable"
} >"$tmp/journal"
keep_requests <"$tmp/journal" |
    goaccess - --log-format="$journal_format" \
        --datetime-format="$datetime_format" \
        -o "$tmp/journal.json" >"$tmp/goaccess.err" 2>&1 ||
    { cat "$tmp/goaccess.err" >&2; fail "goaccess on the journal"; }
check_report "journal" "$tmp/journal.json"

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "log report: all checks passed"
