# Sourced by proxy_test.sh: what a client sees through a front end, and the
# checks every front end must pass.

# Every request comes from 127.0.0.2, so that a front end's log, which
# shows the client, and corvansel's, which shows the front end (on
# 127.0.0.1), can be told apart. Like a browser, the client accepts a
# compressed body, which a front end must not send: curl would not decode
# it here.
curl_from() {
    curl -sS --cacert "$tmp/ca.pem" --interface 127.0.0.2 --max-time 60 \
        -H 'Accept-Encoding: gzip' "$@"
}

# Prints what a client sees of one answer: the status and Content-Range,
# and for a file its Last-Modified, type and body. Error bodies are
# compared only in mode "pass": a cache writes its own.
answer() {
    local url=$1 ua=$2 mode=$3 code
    : >"$tmp/body"
    shift 3
    code=$(curl_from -A "$ua" -D "$tmp/head" -o "$tmp/body" \
        -w '%{http_code}' "$@" "$url") || code="curl failed"
    echo "status $code"
    header content-range
    case $code in
    200 | 206)
        header last-modified
        header content-type
        echo "body $(cksum <"$tmp/body")"
        ;;
    *)
        [ "$mode" = pass ] && echo "body $(cksum <"$tmp/body")"
        ;;
    esac
    rm -f "$tmp/head" "$tmp/body"
}
header() {
    tr -d '\r' <"$tmp/head" | sed -n "s/^$1: *//Ip"
}

# The requests whose answers must be the same through a front end as from
# corvansel directly: ranges, conditionals and errors. Calls "$@" with the
# expected status, the path and curl's arguments.
cases() {
    "$@" 200 /small
    "$@" 206 /small -H 'Range: bytes=100-199'
    "$@" 206 /small -H 'Range: bytes=-10'
    "$@" 416 /small -H 'Range: bytes=5000-'
    "$@" 304 /small -H "If-Modified-Since: $modified"
    "$@" 304 /small -H "If-Modified-Since: $later"
    "$@" 200 /small -H "If-Modified-Since: $earlier"
    "$@" 206 /small -H 'Range: bytes=0-9' -H "If-Range: $modified"
    "$@" 200 /small -H 'Range: bytes=0-9' -H "If-Range: $earlier"
    "$@" 404 /missing
    "$@" 403 /.hidden
}
# A list of ranges, which corvansel refuses and a cache cuts itself.
uncached_cases() {
    "$@" 400 /small -H 'Range: bytes=0-1,5-6'
}

# Checks one case against corvansel's own answer (from instance b, which
# is never stopped).
same_answer() {
    local base=$1 ua=$2 mode=$3 want=$4 path=$5
    shift 5
    local direct proxied
    direct=$(answer "http://127.0.0.1:${port[b]}$path" direct "$mode" "$@")
    proxied=$(answer "$base$path" "$ua" "$mode" "$@")
    [ "$(head -n 1 <<<"$direct")" = "status $want" ] ||
        fail "corvansel answered $path $* with: $direct"
    [ "$proxied" = "$direct" ] ||
        fail "$ua: $path $*:
directly:
$direct
through the front end:
$proxied"
}

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

# The content type a front end gives a file by its name once its content
# types are on; as shipped, every file keeps application/octet-stream.
content_types=(
    'page.html text/html; charset=utf-8'
    'page.htm text/html; charset=utf-8'
    'style.css text/css; charset=utf-8'
    'app.js text/javascript; charset=utf-8'
    'module.mjs text/javascript; charset=utf-8'
    'data.json application/json'
    'notes.txt text/plain; charset=utf-8'
    'logo.svg image/svg+xml'
    'logo.png image/png'
    'photo.jpg image/jpeg'
    'PHOTO.JPEG image/jpeg'
    'anim.gif image/gif'
    'photo.webp image/webp'
    'favicon.ico image/x-icon'
    'manual.pdf application/pdf'
    'module.wasm application/wasm'
    'clip.mp4 video/mp4'
    'clip.webm video/webm'
    'font.woff2 font/woff2'
    'archive.tar.gz application/octet-stream'
    'README application/octet-stream'
    'html application/octet-stream'
)

# Checks the Content-Type of every name in content_types, "on" with a
# front end's content types on, "off" as shipped, and the fields that go
# with them: X-Content-Type-Options and, turned on with them in the test,
# Strict-Transport-Security. Each name is asked for "times" times, so
# that a cache answers the last ones. A range gets the type too, an error
# keeps its text/plain.
check_types() {
    local name=$1 mode=$2 times=${3:-1} entry file want i got
    mkdir -p "$www/types"
    for entry in "${content_types[@]}"; do
        file=${entry%% *}
        [ -e "$www/types/$file" ] || printf '%s\n' "$file" >"$www/types/$file"
        want=application/octet-stream
        [ "$mode" = on ] && want=${entry#* }
        for ((i = 0; i < times; i++)); do
            got=$(typed "$base/types/$file")
            [ "$got" = "200 $want" ] ||
                fail "$name: /types/$file got $got, not 200 $want"
        done
    done
    want='206 text/html; charset=utf-8'
    [ "$mode" = on ] || want='206 application/octet-stream'
    got=$(typed "$base/types/page.html" -H 'Range: bytes=0-1')
    [ "$got" = "$want" ] || fail "$name: a range of page.html got $got"
    got=$(typed "$base/types/missing.html")
    [ "$got" = '404 text/plain' ] || fail "$name: missing.html got $got"

    curl_from -o /dev/null -D "$tmp/head" "$base/types/page.html" || :
    got="$(header x-content-type-options)/$(header strict-transport-security)"
    want=nosniff/max-age=63072000
    [ "$mode" = on ] || want=/
    [ "$got" = "$want" ] ||
        fail "$name: content types $mode, X-Content-Type-Options and" \
            "Strict-Transport-Security were $got"
    rm -f "$tmp/head"
}
# The status and Content-Type of an answer.
typed() {
    curl_from -o /dev/null -w '%{http_code} %{content_type}' "$@" ||
        echo "curl failed"
}

# 5000 bytes of cookies: a head too large for corvansel (it answers 431).
cookie=$(printf 'c%03d=value; ' $(seq 1 420) | head -c 5000)

# Starts the recorder in place of both instances, on a port of its own.
# Sets recorder_port and recorder_pid; what it receives goes to
# $tmp/recorded.
start_recorder() {
    local i
    rm -f "$tmp/recorded"
    start "$tmp/recorder.out" "$recorder" 0 "$tmp/recorded"
    recorder_pid=$pid
    for ((i = 0; i < 200; i++)); do
        recorder_port=$(sed -n 's/^Listening on port //p' "$tmp/recorder.out")
        [ -n "$recorder_port" ] && return 0
        kill -0 "$recorder_pid" 2>/dev/null || break
        sleep 0.05
    done
    die "the recorder did not start: $(cat "$tmp/recorder.out")"
}

# What the recorder received for the request with this request line,
# waiting up to five seconds for the connection to end; nothing if none
# came.
recorded() {
    local line=$1 i
    for ((i = 0; i < 100; i++)); do
        if [ -e "$tmp/recorded" ] &&
            awk -v RS='--- end\n' -v l="$line" 'index($0, l "\r\n") == 1 {
                found = 1; printf "%s", $0 } END { exit !found }' \
                "$tmp/recorded"; then
            return 0
        fi
        sleep 0.05
    done
}

# The names of the fields in a recorded head, in lower case and in order.
field_names() {
    tr -d '\r' | sed -n '2,/^$/s/^\([^:]*\):.*/\1/p' | tr 'A-Z' 'a-z' | sort |
        tr '\n' ' '
}
# The value of field name in a recorded head.
field() {
    tr -d '\r' | sed -n "2,/^\$/s/^$1: *//Ip"
}

# What a front end passes on, with the recorder behind it in place of the
# instances: of a request with a browser's fields, the four that
# corvansel reads, as sent, besides Host and Connection; of a request with
# a body, never the body, whatever its framing. body_status is what the
# front end answers such a request: 413 when it refuses it, 200 when it
# passes the request on without its body.
check_forwarded() {
    local name=$1 body_status=$2 v head code want
    head -c 10000 /dev/zero | tr '\0' B >"$tmp/request-body"
    for v in 2 1.1; do
        code=$(curl_from --http"$v" -A "forwarded-$v" -o /dev/null \
            -w '%{http_code}' -H "Cookie: $cookie" \
            -H 'Authorization: Basic c2VjcmV0' -H 'Accept-Language: en' \
            -H 'X-Forwarded-For: 192.0.2.1' -H 'Referer: https://example.org/' \
            -H 'Range: bytes=0-1' -H "If-Range: $modified" \
            -H "If-Modified-Since: $earlier" "$base/fields-$v") ||
            code="curl failed"
        [ "$code" = 200 ] ||
            fail "$name: a request with a browser's fields got $code"
        head=$(recorded "GET /fields-$v HTTP/1.1")
        want="connection host if-modified-since if-range range user-agent "
        [ "$(field_names <<<"$head")" = "$want" ] ||
            fail "$name: over HTTP/$v, the recorder got these fields:" \
                "$(field_names <<<"$head")"
        [ "$(field range <<<"$head")" = 'bytes=0-1' ] &&
            [ "$(field if-range <<<"$head")" = "$modified" ] &&
            [ "$(field if-modified-since <<<"$head")" = "$earlier" ] &&
            [ "$(field user-agent <<<"$head")" = "forwarded-$v" ] ||
            fail "$name: over HTTP/$v, the fields arrived changed: $head"

        code=$(curl_from --http"$v" -X GET -o /dev/null -w '%{http_code}' \
            --data-binary @"$tmp/request-body" "$base/body-$v") ||
            code="curl failed"
        [ "$code" = "$body_status" ] ||
            fail "$name: a request with a body over HTTP/$v got $code"
        if [ "$code" = 200 ] && [ -z "$(recorded "GET /body-$v HTTP/1.1")" ]
        then
            fail "$name: a request with a body over HTTP/$v did not arrive"
        fi
    done
    code=$(curl_from --http1.1 -X GET -o /dev/null -w '%{http_code}' \
        -H 'Transfer-Encoding: chunked' --data-binary @"$tmp/request-body" \
        "$base/chunked") || code="curl failed"
    [ "$code" = "$body_status" ] ||
        fail "$name: a request with a chunked body got $code"
    if [ "$code" = 200 ] && [ -z "$(recorded "GET /chunked HTTP/1.1")" ]; then
        fail "$name: a request with a chunked body did not arrive"
    fi

    if grep -q BBBB "$tmp/recorded"; then
        fail "$name: a request body reached the recorder"
    fi
    if grep -qiE '^(content-length|transfer-encoding):' "$tmp/recorded"; then
        fail "$name: a request head announced a body:" \
            "$(grep -iE '^(content-length|transfer-encoding):' "$tmp/recorded")"
    fi
}

# A burst: 10 connections with 100 requests in flight on each, 1000 at
# once. Over HTTP/2 they are streams, 2000 in all, so that a second wave
# follows the first as its answers come back; over HTTP/1.1 they are
# pipelined, 1000 in all, a full pipeline on each connection. Every one of
# them gets its answer, with no error and no refused stream. The rate
# h2load saw is printed for the record, not checked.
check_burst() {
    local name=$1 v n args out
    for v in 2 1.1; do
        args=(-c 10 -m 100)
        if [ "$v" = 2 ]; then
            n=2000
        else
            n=1000
            args+=(--h1)
        fi
        out=$(h2load "${args[@]}" -n "$n" "$base/small" 2>&1) || :
        if ! grep -qxF "requests: $n total, $n started, $n done, $n succeeded, 0 failed, 0 errored, 0 timeout" <<<"$out" ||
            ! grep -qxF "status codes: $n 2xx, 0 3xx, 0 4xx, 0 5xx" <<<"$out"
        then
            fail "$name: a burst over HTTP/$v got" \
                "$(grep -E '^(requests|status codes):' <<<"$out")"
        fi
        echo "$name: 1000 requests in flight over HTTP/$v:" \
            "$(sed -n 's/^finished in //p' <<<"$out")"
    done
}

# n requests for /small, one after the other on one connection, as a
# browser sends them; one line for each: "status:size seconds".
series() {
    local ua=$1 n=$2 i args=()
    for ((i = 0; i < n; i++)); do
        args+=(-o /dev/null "$base/small")
    done
    curl_from -A "$ua" -w '%{http_code}:%{size_download} %{time_total}\n' \
        "${args[@]}" || :
}
# What a series got: "count status:size" for each kind of answer.
tally() {
    cut -d ' ' -f 1 | sort | uniq -c | sed 's/^ *//'
}
# The longest time in a series.
slowest() {
    cut -d ' ' -f 2 | sort -g | tail -n 1
}

# Failover, with instances a and b running: a stops between two requests,
# then b too, then b and a come back. Until both are stopped, and from the
# moment one is back, every request gets its file. No request waits a
# second for a retry: none takes half a second longer than the slowest
# while both ran. lost_both is a command that returns once the front end
# has taken both instances out.
check_failover() {
    local ua=$1 lost_both=$2 before after answers i
    before=$(series "$ua" 20)

    stop "${ipid[a]}"
    after=$(series "$ua" 50)
    answers=$(tally <<<"$after")
    [ "$answers" = "50 200:4096" ] ||
        fail "$ua: with instance a stopped, 50 requests got: $answers"
    awk -v limit="$(slowest <<<"$before")" '$2 > limit + 0.5 { bad = 1 }
        END { exit bad }' <<<"$after" ||
        fail "$ua: with instance a stopped, a request took" \
            "$(slowest <<<"$after") s, the slowest before $(slowest <<<"$before") s"

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

# What a client offers in a TLS handshake, as openssl s_client's
# arguments, and whether a front end must complete it. OpenSSL takes part
# in TLS 1.1 only at security level 0.
tls_offers=(
    'accepts -tls1_3'
    'accepts -tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256'
    'accepts -tls1_2 -cipher ECDHE-ECDSA-CHACHA20-POLY1305'
    'refuses -tls1_2 -cipher ECDHE-ECDSA-AES128-SHA'
    'refuses -tls1_2 -cipher ECDHE-ECDSA-AES256-SHA384'
    'refuses -tls1_1 -cipher DEFAULT:@SECLEVEL=0'
)

# Whether a TLS handshake with "$@" as the client's offer completes on
# 127.0.0.1:port.
handshake() {
    local port=$1
    shift
    openssl s_client -connect "127.0.0.1:$port" -brief "$@" \
        </dev/null >"$tmp/handshake" 2>&1 &&
        grep -q '^Protocol version: ' "$tmp/handshake"
}

# Checks each offer against the front end on port. An openssl s_server
# that accepts every protocol and suite takes each offer first, so that
# a refusal is the front end's and not the client's.
check_tls() {
    local name=$1 port=$2 offer want args=() control_port control_pid
    control_port=$(free_port)
    start "$tmp/s_server.out" openssl s_server -quiet \
        -accept "127.0.0.1:$control_port" -cert "$tmp/site.pem" \
        -key "$tmp/site.key" -min_protocol TLSv1 -cipher 'ALL:@SECLEVEL=0'
    control_pid=$pid
    listening "$control_pid" "$control_port" ||
        die "openssl s_server did not start: $(cat "$tmp/s_server.out")"
    for offer in "${tls_offers[@]}"; do
        read -ra args <<<"$offer"
        want=${args[0]}
        args=("${args[@]:1}")
        handshake "$control_port" "${args[@]}" ||
            fail "the client cannot make a handshake with ${args[*]}:" \
                "$(cat "$tmp/handshake")"
        if handshake "$port" "${args[@]}"; then
            [ "$want" = accepts ] ||
                fail "$name: completed a handshake with ${args[*]}"
        else
            [ "$want" = refuses ] ||
                fail "$name: refused a handshake with ${args[*]}:" \
                    "$(cat "$tmp/handshake")"
        fi
    done
    stop "$control_pid"
}
