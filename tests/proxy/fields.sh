# Sourced by proxy_test.sh: the fields a front end passes on to an
# instance, with the recorder in the instances' place, and those it adds
# to an answer: the content types and the security fields.

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

# The names of the fields in a recorded head, in lower case and sorted.
field_names() {
    tr -d '\r' | sed -n '2,/^$/s/^\([^:]*\):.*/\1/p' | tr 'A-Z' 'a-z' |
        LC_ALL=C sort | tr '\n' ' '
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
    # The type goes by the name corvansel serves, percent-decoded.
    want='200 text/html; charset=utf-8'
    [ "$mode" = on ] || want='200 application/octet-stream'
    got=$(typed "$base/types/page%2Ehtml")
    [ "$got" = "$want" ] || fail "$name: page%2Ehtml got $got"

    curl_from -o /dev/null -D "$tmp/head" "$base/types/page.html" || :
    got="$(header x-content-type-options)/$(header strict-transport-security)"
    want=nosniff/max-age=63072000
    [ "$mode" = on ] || want=/
    [ "$got" = "$want" ] ||
        fail "$name: content types $mode, X-Content-Type-Options and" \
            "Strict-Transport-Security were $got"
    rm -f "$tmp/head"
}
