#!/bin/bash
# Proves the front ends in dist/: HAProxy (dist/haproxy/haproxy.cfg) and
# nginx (dist/nginx/corvansel.conf, with its cache off and on), each in
# front of two instances of the binary just built, reached with curl over
# HTTPS. A client gets the same answers as from corvansel on its own, keeps
# its connection open across requests, and sees no failure while one
# instance is stopped; the instance takes requests again once restarted.
# The configurations are the shipped files with only addresses, ports and
# paths replaced; everything listens on loopback ports picked here, and
# every process started here is gone at the end.
#
# usage: proxy_test.sh source-dir binary
set -euo pipefail
src=$1
binary=$2

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
die() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in haproxy nginx openssl curl ss setsid; do
    if ! command -v "$tool" >/dev/null; then
        # CI installs every tool (.ci/install-deps): there a missing one fails.
        [ "${CI:-}" = true ] && die "$tool is missing"
        echo "proxy: skipped, $tool is missing (bash .ci/install-deps)" >&2
        exit 77
    fi
done

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

# A loopback port that nothing listens on, below the range the kernel picks
# client ports from, so that no outgoing connection holds it in the meantime.
free_port() {
    local p
    while :; do
        p=$((10000 + RANDOM % 20000))
        [ -z "$(ss -Htan "sport = :$p")" ] && break
    done
    echo "$p"
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

# --- The served files, the certificates and two instances ---------------

www=$tmp/www
mkdir "$www"
head -c 64M /dev/urandom >"$www/big"
head -c 4096 /dev/urandom >"$www/small"
echo secret >"$www/.hidden"
: >"$www/healthcheck"
# A fixed modification time makes the Last-Modified text known here.
touch -d @1704164645 "$www/big" "$www/small" "$www/.hidden" "$www/healthcheck"
modified='Tue, 02 Jan 2024 03:04:05 GMT'
earlier='Mon, 01 Jan 2024 00:00:00 GMT'
later='Wed, 03 Jan 2024 00:00:00 GMT'

# A throwaway certificate authority and a server certificate for 127.0.0.1,
# which curl verifies.
openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$tmp/ca.key" -out "$tmp/ca.pem" -days 2 \
    -subj '/CN=corvansel test CA' 2>/dev/null
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$tmp/site.key" -out "$tmp/site.csr" -subj '/CN=127.0.0.1' \
    2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' \
    >"$tmp/site.ext"
openssl x509 -req -in "$tmp/site.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/ca.key" \
    -CAcreateserial -days 2 -extfile "$tmp/site.ext" -out "$tmp/site.pem" \
    2>/dev/null
cat "$tmp/site.pem" "$tmp/site.key" >"$tmp/site-and-key.pem"

# Starts instance a or b and waits for its banner. A first start picks a
# free port, and picks again if another process took it meanwhile; a
# restart keeps the port the front ends know. The access log of the Nth
# start goes to $tmp/NAME.N.log.
declare -A port=() runs=() ipid=()
start_instance() {
    local name=$1 fixed=${port[$1]:-} try i log
    for ((try = 0; try < 5; try++)); do
        port[$name]=${fixed:-$(free_port)}
        runs[$name]=$((${runs[$name]:-0} + 1))
        log=$tmp/$name.${runs[$name]}.log
        start "$log" "$binary" -d "$www" -l 127.0.0.1 "${port[$name]}"
        ipid[$name]=$pid
        for ((i = 0; i < 200; i++)); do
            grep -q "^Listening on 127.0.0.1 port ${port[$name]}\$" "$log" &&
                return 0
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
        [ -n "$fixed" ] && break
    done
    die "instance $name did not start: $(cat "$log")"
}
start_instance a
start_instance b
log_of() { echo "$tmp/$1.${runs[$1]}.log"; }

# Lines of an instance's access log from user agent ua, for target path.
requests() {
    local name=$1 ua=$2 path=$3
    awk -F '\t' -v ua="$ua" -v path="$path" \
        '$4 == ua && $5 == path { n++ } END { print n + 0 }' "$(log_of "$name")"
}
# The same, over both instances.
requests_both() {
    echo $(($(requests a "$@") + $(requests b "$@")))
}

# --- What a client sees -------------------------------------------------

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

    # The client's address is in the front end's log, the front end's in
    # corvansel's.
    grep -q '^127\.0\.0\.2[: ]' "$front_log" ||
        fail "$ua: the front end's log does not show the client's address"
    awk -F '\t' -v ua="$ua" '$4 == ua && $2 != "127.0.0.1" { bad = 1 }
        END { exit bad }' "$(log_of a)" "$(log_of b)" ||
        fail "$ua: corvansel logged an address other than the front end's"
}

# Stops instance a, then every one of 50 requests must still succeed; after
# a restart, a takes requests again.
check_failover() {
    local base=$1 ua=$2 i args=() answers
    stop "${ipid[a]}"
    for ((i = 0; i < 50; i++)); do
        args+=(-o /dev/null "$base/small")
    done
    answers=$(curl_from -A "$ua" -w '%{http_code}:%{size_download}\n' \
        "${args[@]}" | sort | uniq -c | sed 's/^ *//') || :
    [ "$answers" = "50 200:4096" ] ||
        fail "$ua: with instance a stopped, 50 requests got: $answers"

    start_instance a
    for ((i = 0; i < 100; i++)); do
        curl_from -A "$ua" -o /dev/null "$base/small" || :
        [ "$(requests a "$ua" /small)" -gt 0 ] && return 0
        sleep 0.25
    done
    fail "$ua: instance a took no request in 25 seconds after its restart"
}

# --- HAProxy -------------------------------------------------------------

# Sets conf to the shipped file with every from replaced by to; fails when
# the file no longer has from, so that a change to it cannot slip past.
replace() {
    [[ $conf == *"$1"* ]] || die "the shipped configuration has no '$1'"
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

start_haproxy() {
    conf=$(cat "$src/dist/haproxy/haproxy.cfg")
    replace 'bind :::443 v4v6 ssl crt /etc/haproxy/certs/corvansel.pem' \
        "bind 127.0.0.1:$front_port ssl crt $tmp/site-and-key.pem"
    replace 'server a 127.0.0.1:8081' "server a 127.0.0.1:${port[a]}"
    replace 'server b 127.0.0.1:8082' "server b 127.0.0.1:${port[b]}"
    replace 'log /dev/log local0' 'log stdout format raw local0'
    replace /run/haproxy/admin.sock "$tmp/haproxy.sock"
    if [ "$(id -u)" != 0 ]; then
        # Only root can enter the chroot and change user.
        replace 'chroot /var/lib/haproxy' ''
        replace 'user haproxy' ''
        replace 'group haproxy' ''
    fi
    printf '%s\n' "$conf" >"$tmp/haproxy.cfg"
    haproxy -c -q -f "$tmp/haproxy.cfg" ||
        die "haproxy rejects the configuration"
    # Its log, on standard output, and its warnings.
    front_out=$tmp/haproxy.log
    start "$front_out" haproxy -db -f "$tmp/haproxy.cfg"
}

start_front_end start_haproxy

# The health check passes although corvansel closes its connection: both
# instances answer it and stay up.
for name in a b; do
    for ((i = 0; i < 100; i++)); do
        [ "$(requests "$name" haproxy-health-check /healthcheck)" -gt 0 ] && break
        sleep 0.1
    done
    grep -q "	200	haproxy-health-check	/healthcheck\$" "$(log_of "$name")" ||
        fail "haproxy: no passing health check on instance $name"
done

check_front_end "$base" via-haproxy "$tmp/haproxy.log"
if grep -q 'is DOWN' "$tmp/haproxy.log"; then
    fail "haproxy: an instance went down while both were running:
$(grep 'is DOWN' "$tmp/haproxy.log")"
fi
check_failover "$base" via-haproxy
stop "$front_pid"

# --- nginx ---------------------------------------------------------------

# Runs nginx with the shipped site file, with its cache on or not, inside a
# main configuration of the test's own that keeps nginx's files in $tmp.
start_nginx() {
    local cache=$1 dir=$tmp/nginx-$1
    mkdir -p "$dir"
    conf=$(cat "$src/dist/nginx/corvansel.conf")
    replace 'listen 443 ssl http2;' "listen 127.0.0.1:$front_port ssl http2;"
    replace 'listen [::]:443 ssl http2;' ''
    replace 'server 127.0.0.1:8081 ' "server 127.0.0.1:${port[a]} "
    replace 'server 127.0.0.1:8082 ' "server 127.0.0.1:${port[b]} "
    replace /etc/ssl/certs/corvansel.pem "$tmp/site.pem"
    replace /etc/ssl/private/corvansel.key "$tmp/site.key"
    replace /var/log/nginx/corvansel.access.log "$dir/access.log"
    if [ "$cache" = cache ]; then
        replace '#proxy_cache_path /var/cache/nginx-corvansel ' \
            "proxy_cache_path $dir/cache "
        replace '#proxy_cache corvansel;' 'proxy_cache corvansel;'
    fi
    printf '%s\n' "$conf" >"$dir/site.conf"
    # Started by root, nginx's workers would run as nobody, who cannot
    # enter $tmp.
    local user=
    [ "$(id -u)" = 0 ] && user='user root;'
    cat >"$dir/nginx.conf" <<EOF
daemon off;
worker_processes 1;
$user
pid $dir/nginx.pid;
error_log stderr;
events {
    worker_connections 256;
}
http {
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    # A main configuration may compress every type for every site; this
    # one must turn it off for itself.
    gzip on;
    gzip_types *;
    include $dir/site.conf;
}
EOF
    nginx -q -t -p "$dir" -e stderr -c "$dir/nginx.conf" ||
        die "nginx rejects the configuration"
    front_out=$dir/error.log
    start "$front_out" nginx -p "$dir" -e stderr -c "$dir/nginx.conf"
}

start_front_end start_nginx pass
check_front_end "$base" via-nginx "$tmp/nginx-pass/access.log"
check_failover "$base" via-nginx
stop "$front_pid"

# With the cache on, a client still gets corvansel's answers, and a second
# round of the same requests is answered from the cache alone.
start_front_end start_nginx cache
cases same_answer "$base" via-nginx-cache cache
before=$(requests_both via-nginx-cache /small)
cases same_answer "$base" via-nginx-cache cache
after=$(requests_both via-nginx-cache /small)
[ "$after" = "$before" ] ||
    fail "nginx cache: $((after - before)) requests for a cached file reached corvansel"
stop "$front_pid"

# --- Every process started here is gone ----------------------------------

stop "${ipid[a]}"
stop "${ipid[b]}"
for pid in "${started[@]}"; do
    running "$pid" && fail "process $pid or one of its group is still running"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "proxy: haproxy and nginx pass every check"
