# Sourced by proxy_test.sh: the TLS versions and suites a front end must
# complete a handshake with, and those it must refuse.

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
