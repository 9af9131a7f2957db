# Sourced by proxy_test.sh: the served files, a throwaway certificate
# authority with a certificate for 127.0.0.1, two instances of the binary
# under test, a and b, with their access logs, and the recorder, which
# stands in for both to show what a front end passes on.

# The served files. A fixed modification time makes the Last-Modified
# text known here.
www=$tmp/www
modified='Tue, 02 Jan 2024 03:04:05 GMT'
earlier='Mon, 01 Jan 2024 00:00:00 GMT'
later='Wed, 03 Jan 2024 00:00:00 GMT'
make_files() {
    mkdir "$www"
    head -c 64M /dev/urandom >"$www/big"
    head -c 1M /dev/urandom >"$www/mib"
    head -c 4096 /dev/urandom >"$www/small"
    echo secret >"$www/.hidden"
    : >"$www/healthcheck"
    touch -d @1704164645 "$www/big" "$www/mib" "$www/small" "$www/.hidden" \
        "$www/healthcheck"
}

# A throwaway certificate authority, an intermediate one and a server
# certificate for 127.0.0.1 signed by the intermediate. curl trusts the
# authority alone, so a front end must send the chain. site-chain.pem is
# the certificate and the chain, as nginx takes them, site-chain-key.pem
# the same and the key, as HAProxy does. The key is an ECDSA one, so that
# the ECDSA suites offered in the TLS checks are the ones it could use.
make_certificates() {
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
    openssl req -x509 -new "${ec[@]}" -keyout "$tmp/ca.key" \
        -out "$tmp/ca.pem" -days 2 -subj '/CN=corvansel test CA' \
        -addext basicConstraints=critical,CA:TRUE 2>/dev/null
    openssl req -new "${ec[@]}" -keyout "$tmp/chain.key" \
        -out "$tmp/chain.csr" -subj '/CN=corvansel test intermediate' \
        2>/dev/null
    printf '%s\n' basicConstraints=critical,CA:TRUE,pathlen:0 \
        keyUsage=keyCertSign >"$tmp/chain.ext"
    openssl x509 -req -in "$tmp/chain.csr" -CA "$tmp/ca.pem" \
        -CAkey "$tmp/ca.key" -CAcreateserial -days 2 \
        -extfile "$tmp/chain.ext" -out "$tmp/chain.pem" 2>/dev/null
    openssl req -new "${ec[@]}" -keyout "$tmp/site.key" \
        -out "$tmp/site.csr" -subj '/CN=127.0.0.1' 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' \
        >"$tmp/site.ext"
    openssl x509 -req -in "$tmp/site.csr" -CA "$tmp/chain.pem" \
        -CAkey "$tmp/chain.key" -CAcreateserial -days 2 \
        -extfile "$tmp/site.ext" -out "$tmp/site.pem" 2>/dev/null
    cat "$tmp/site.pem" "$tmp/chain.pem" >"$tmp/site-chain.pem"
    cat "$tmp/site.pem" "$tmp/chain.pem" "$tmp/site.key" \
        >"$tmp/site-chain-key.pem"
}

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
