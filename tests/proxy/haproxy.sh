# Sourced by proxy_test.sh: HAProxy with the shipped
# dist/haproxy/corvansel.cfg beside the distribution's own haproxy.cfg,
# whose global section it relies on.

# Runs HAProxy as the service would, with the distribution's global
# section first and the shipped part after it. The global section logs to
# standard output here and keeps its socket in $tmp; the part gets the test's
# addresses and certificate. The options turn on what the part has off as
# shipped ("types", the content types, and "hsts"), or put what listens
# on a port in place of both instances ("upstream=PORT").
#
# usage: start_haproxy [option...]
start_haproxy() {
    local option a=${port[a]} b=${port[b]}
    for option; do
        case $option in
        upstream=*)
            a=${option#upstream=}
            b=$a
            ;;
        types | hsts) ;;
        *)
            die "start_haproxy: no option $option"
            ;;
        esac
    done

    # The global section of the distribution's haproxy.cfg, whatever else
    # this machine's copy holds: the part brings its own defaults, and
    # another installation's frontends and backends have no place here.
    # The lines the test must own are found by their keyword, not by their
    # text: the log goes to standard output and the admin socket to $tmp,
    # and only root can enter the chroot and change user.
    local own='log|stats[[:space:]]+socket'
    [ "$(id -u)" = 0 ] || own+='|chroot|user|group'
    awk -v own="^[[:space:]]*($own)[[:space:]]" '
        /^[a-z]/ { global = $1 == "global" }
        global && $0 !~ own { print }
        global && /^global/ {
            print "\tlog stdout format raw local0"
            print "\tstats socket '"$tmp"'/haproxy.sock mode 600 level admin"
        }' /etc/haproxy/haproxy.cfg >"$tmp/haproxy.cfg"
    grep -q "^global" "$tmp/haproxy.cfg" ||
        die "/etc/haproxy/haproxy.cfg has no global section"

    conf=$(cat "$src/dist/haproxy/corvansel.cfg")
    replace 'bind :::443 v4v6 ssl crt /etc/haproxy/certs/corvansel.pem' \
        "bind 127.0.0.1:$front_port ssl crt $tmp/site-chain-key.pem"
    replace ' 127.0.0.1:8081' " 127.0.0.1:$a"
    replace ' 127.0.0.1:8082' " 127.0.0.1:$b"
    for option; do
        case $option in
        types)
            replace '#http-request set-var(txn.type) ' \
                'http-request set-var(txn.type) '
            replace '#http-response set-header Content-Type ' \
                'http-response set-header Content-Type '
            replace '#http-response set-header X-Content-Type-Options ' \
                'http-response set-header X-Content-Type-Options '
            replace /etc/haproxy/corvansel-types.map \
                "$src/dist/haproxy/corvansel-types.map"
            ;;
        hsts)
            replace '#http-response set-header Strict-Transport-Security ' \
                'http-response set-header Strict-Transport-Security '
            ;;
        esac
    done
    printf '%s\n' "$conf" >"$tmp/corvansel.cfg"

    local files=(-f "$tmp/haproxy.cfg" -f "$tmp/corvansel.cfg")
    haproxy -c -q "${files[@]}" || die "haproxy rejects the configuration"
    # Its log, on standard output, and its warnings.
    front_out=$tmp/haproxy.log
    start "$front_out" haproxy -db "${files[@]}"
}

# Returns once HAProxy's checks have taken instance b out (a is out
# already), or after ten seconds.
haproxy_lost_both() {
    local i
    for ((i = 0; i < 100; i++)); do
        grep -q 'corvansel/b is DOWN' "$tmp/haproxy.log" && return 0
        sleep 0.1
    done
    fail "haproxy: instance b stopped, and its checks did not take it out"
}

# What HAProxy must do in front of instances a and b.
haproxy_checks() {
    start_front_end start_haproxy
    start_slow_readers

    # The health check passes although corvansel closes its connection: both
    # instances answer it and stay up.
    local name i
    for name in a b; do
        for ((i = 0; i < 100; i++)); do
            [ "$(requests "$name" haproxy-health-check /healthcheck)" -gt 0 ] &&
                break
            sleep 0.1
        done
        grep -q "	200	haproxy-health-check	/healthcheck\$" \
            "$(log_of "$name")" ||
            fail "haproxy: no passing health check on instance $name"
    done

    check_tls haproxy "$front_port"
    check_front_end "$base" via-haproxy "$tmp/haproxy.log"
    check_burst haproxy
    check_types haproxy off
    check_targets haproxy via-haproxy
    check_slow_readers haproxy
    if grep -q 'is DOWN' "$tmp/haproxy.log"; then
        fail "haproxy: an instance went down while both were running:" \
            "$(grep 'is DOWN' "$tmp/haproxy.log")"
    fi
    # HAProxy waits a second before the retry of a request whose instance
    # its checks take out while the request is on its way there (it then
    # counts one instance left); one request after another, that is one
    # request at the most.
    check_failover via-haproxy haproxy_lost_both 1
    stop "$front_pid"

    # It passes on only what corvansel reads, and refuses a request body.
    start_recorder
    start_front_end start_haproxy upstream="$recorder_port"
    check_forwarded haproxy 413
    stop "$front_pid"
    stop "$recorder_pid"

    start_front_end start_haproxy types hsts
    check_types haproxy on
    # In the name corvansel serves, "?" is an ordinary character: this
    # file's name has no listed extension.
    printf 'v2\n' >"$www/types/page.html?v=2"
    local got
    got=$(typed "$base/types/page.html?v=2")
    [ "$got" = '200 application/octet-stream' ] ||
        fail "haproxy: /types/page.html?v=2 got $got"
    stop "$front_pid"
}
