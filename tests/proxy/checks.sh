# Sourced by proxy_test.sh: what every front end must do in front of
# instances a and b: answer as corvansel does, hold a burst, fail over.

# What every front end must do, in front of instances a and b.
check_front_end() {
    local base=$1 ua=$2 front_log=$3 before v versions got

    # Keep-alive: three requests in one invocation share one connection,
    # over HTTP/2 and over HTTP/1.1, while corvansel sees one connection
    # (one log line) for each.
    before=$(requests_both "$ua" /small)
    for v in 2 1.1; do
        versions=$(curl_from -A "$ua" --http"$v" \
            -w '%{http_version}:%{num_connects} ' \
            -o /dev/null "$base/small" -o /dev/null "$base/small" \
            -o /dev/null "$base/small") || :
        [ "$versions" = "$v:1 $v:0 $v:0 " ] ||
            fail "$ua: three requests over HTTP/$v did not share one connection: $versions"
    done
    [ "$(requests_both "$ua" /small)" = $((before + 6)) ] ||
        fail "$ua: corvansel did not log one connection per request"

    # The large file, byte for byte, over both versions.
    for v in 2 1.1; do
        got=$(curl_from -A "$ua" --http"$v" -o "$tmp/got" \
            -w '%{http_code} %{http_version}' "$base/big") || got="curl failed"
        [ "$got" = "200 $v" ] || fail "$ua: 64 MiB over HTTP/$v: $got"
        cmp -s "$www/big" "$tmp/got" ||
            fail "$ua: 64 MiB over HTTP/$v arrived changed"
        rm -f "$tmp/got"
    done

    cases same_answer "$base" "$ua" pass
    uncached_cases same_answer "$base" "$ua" pass

    # A browser's cookies, which would make corvansel answer 431 to the
    # whole head, never reach it.
    got=$(curl_from -A "$ua" -H "Cookie: $cookie" -o "$tmp/got" \
        -w '%{http_code}' "$base/small") || got="curl failed"
    [ "$got" = 200 ] && cmp -s "$www/small" "$tmp/got" ||
        fail "$ua: a request with 5000 bytes of cookies got $got"
    rm -f "$tmp/got"

    # The client's address is in the front end's log, the front end's in
    # corvansel's.
    grep -q '^127\.0\.0\.2[: ]' "$front_log" ||
        fail "$ua: the front end's log does not show the client's address"
    awk -F '\t' -v ua="$ua" '$4 == ua && $2 != "127.0.0.1" { bad = 1 }
        END { exit bad }' "$(log_of a)" "$(log_of b)" ||
        fail "$ua: corvansel logged an address other than the front end's"
}

# A burst: 10 connections with 100 requests in flight on each, 1000 at
# once. Over HTTP/2 they are streams, 2000 in all, so that a second wave
# follows the first as its answers come back; over HTTP/1.1 they are
# pipelined, 1000 in all, a full pipeline on each connection. Then the
# same 1000 streams at once for a file of 1 MiB, which holds each
# instance's connection far longer than a small one. Every request gets
# its answer, with no error, no refused stream and no 5xx. The rate
# h2load saw is printed for the record, not checked.
check_burst() {
    local name=$1 run n file args out requests codes
    for run in '2 2000 small' '1.1 1000 small' '2 1000 mib'; do
        read -r v n file <<<"$run"
        args=(-c 10 -m 100 -n "$n")
        [ "$v" = 1.1 ] && args+=(--h1)
        out=$(h2load "${args[@]}" "$base/$file" 2>&1) || :
        requests="requests: $n total, $n started, $n done, $n succeeded,"
        requests+=" 0 failed, 0 errored, 0 timeout"
        codes="status codes: $n 2xx, 0 3xx, 0 4xx, 0 5xx"
        if ! grep -qxF "$requests" <<<"$out" || ! grep -qxF "$codes" <<<"$out"
        then
            fail "$name: a burst of $n requests for /$file over HTTP/$v got" \
                "$(grep -E '^(requests|status codes):' <<<"$out")"
        fi
        echo "$name: $n requests for /$file, 1000 in flight over HTTP/$v:" \
            "$(sed -n 's/^finished in //p' <<<"$out")"
    done
}

# A slow reader of the 64 MiB file over HTTP/2 and over HTTP/1.1, each in
# the background while other checks run. It takes the first 8 MiB at
# once, so that the buffers on its path grow as they do for a fast
# client, then 10 KB a second for 40 seconds, longer than corvansel's
# 30-second send time-out and a front end's inactivity time-outs, and
# then the rest at once. A front end that waits for the client's buffers
# to drain must not take that for a client gone away, and must keep
# taking bytes from the instance while the client takes its own: the
# file arrives whole. Sets slow_pids.
start_slow_readers() {
    local v
    slow_pids=()
    for v in 2 1.1; do
        {
            curl_from -A slow-reader --http"$v" --max-time 600 -o - \
                "$base/big" 2>"$tmp/slow-$v.err" | {
                head -c 8M
                end=$((SECONDS + 40))
                while [ "$SECONDS" -lt "$end" ]; do
                    head -c 10240
                    sleep 1
                done
                cat
            } >"$tmp/slow-$v"
        } &
        slow_pids+=("$!")
    done
}

# Waits for the slow readers and checks what they got.
check_slow_readers() {
    local name=$1 v
    # A reader whose transfer failed ends with curl's status, which must
    # not end the test under set -e before the check below says what the
    # reader got and why.
    wait "${slow_pids[@]}" || :
    for v in 2 1.1; do
        cmp -s "$www/big" "$tmp/slow-$v" ||
            fail "$name: a slow reader over HTTP/$v got" \
                "$(stat -c %s "$tmp/slow-$v") of $(stat -c %s "$www/big")" \
                "bytes: $(cat "$tmp/slow-$v.err")"
        rm -f "$tmp/slow-$v" "$tmp/slow-$v.err"
    done
}

# Targets that corvansel reads otherwise than a front end might pass them
# on: one that decodes to a zero byte gets 400 from the front end itself
# and never reaches an instance; one in absolute form, as HTTP/1.1
# allows, gets the file.
check_targets() {
    local name=$1 ua=$2 got before target
    before=$(requests_both "$ua" /small)
    for target in /small%00 /small%00.txt; do
        got=$(curl_from -A "$ua" --http1.1 -o /dev/null -w '%{http_code}' \
            --request-target "$target" "$base/") || got="curl failed"
        [ "$got" = 400 ] || fail "$name: $target got $got"
    done
    awk -F '\t' -v ua="$ua" '$4 == ua && index($5, "/small") == 1 &&
        $5 != "/small" { bad = 1 } END { exit bad }' \
        "$(log_of a)" "$(log_of b)" ||
        fail "$name: a target with a zero byte reached an instance"
    got=$(curl_from -A "$ua" --http1.1 -o "$tmp/got" -w '%{http_code}' \
        --request-target "$base/small" "$base/") || got="curl failed"
    [ "$got" = 200 ] && cmp -s "$www/small" "$tmp/got" ||
        fail "$name: GET $base/small HTTP/1.1 got $got"
    rm -f "$tmp/got"
    [ "$(requests_both "$ua" /small)" = $((before + 1)) ] ||
        fail "$name: the absolute-form target did not reach an instance" \
            "as /small"
}

# Failover, with instances a and b running: a stops between two requests,
# then b too, then b and a come back. Until both are stopped, and from the
# moment one is back, every request gets its file. No request waits a
# second for a retry: none takes half a second longer than the slowest
# while both ran, except at most "waits" of them (none unless given). The
# requests go one after another. lost_both is a command that returns once
# the front end has taken both instances out.
#
# usage: check_failover user-agent lost_both [waits]
check_failover() {
    local ua=$1 lost_both=$2 waits=${3:-0} before after answers i
    before=$(series "$ua" 20)

    stop "${ipid[a]}"
    after=$(series "$ua" 50)
    answers=$(tally <<<"$after")
    [ "$answers" = "50 200:4096" ] ||
        fail "$ua: with instance a stopped, 50 requests got: $answers"
    awk -v limit="$(slowest <<<"$before")" -v waits="$waits" \
        '$2 > limit + 0.5 { slow++ } END { exit slow > waits }' <<<"$after" ||
        fail "$ua: with instance a stopped, more than $waits request(s)" \
            "took over half a second longer than the slowest before" \
            "($(slowest <<<"$before") s):" \
            "$(sort -k 2 -g <<<"$after" | tail -n 3 | cut -d ' ' -f 2)"

    stop "${ipid[b]}"
    "$lost_both"
    start_instance b
    answers=$(series "$ua" 20 | tally)
    [ "$answers" = "20 200:4096" ] ||
        fail "$ua: once b was back after both had stopped, 20 requests got:" \
            "$answers"

    # a takes requests again within ten seconds: the front ends try it
    # again after two seconds at most.
    start_instance a
    for ((i = 0; i < 40; i++)); do
        curl_from -A "$ua" -o /dev/null "$base/small" || :
        [ "$(requests a "$ua" /small)" -gt 0 ] && return 0
        sleep 0.25
    done
    fail "$ua: instance a took no request in 10 seconds after its restart"
}
