# Sourced by proxy_test.sh: what a client sees through a front end, and the
# requests whose answers must be corvansel's own.

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

# A field of the head curl wrote to $tmp/head, by its name in any case.
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

# The status and Content-Type of an answer.
typed() {
    curl_from -o /dev/null -w '%{http_code} %{content_type}' "$@" ||
        echo "curl failed"
}

# 5000 bytes of cookies: a head too large for corvansel (it answers 431).
cookie=$(printf 'c%03d=value; ' $(seq 1 420) | head -c 5000)
