# Sourced by proxy_test.sh: nginx with the shipped
# dist/nginx/corvansel.conf inside the distribution's own nginx.conf, its
# cache off and on.

# What the README asks of nginx.conf: worker_connections in the events
# block, and twice as many descriptors (worker_rlimit_nofile).
nginx_worker_connections=4096

# Runs nginx as the service would, with the shipped site file included by
# the distribution's nginx.conf. That file keeps its pid, logs and
# temporary files in $tmp/nginx-NAME here, and includes no other site, no
# snippet and no dynamic module. The options turn on what the site file
# has off as shipped ("cache", "types", the content types, and "hsts"),
# set how long the cache keeps a file ("valid=TIME"), or put what listens
# on a port in place of both instances ("upstream=PORT").
#
# usage: start_nginx name [option...]
start_nginx() {
    local dir=$tmp/nginx-$1 option a=${port[a]} b=${port[b]}
    shift
    for option; do
        case $option in
        upstream=*)
            a=${option#upstream=}
            b=$a
            ;;
        esac
    done
    mkdir -p "$dir"
    conf=$(cat "$src/dist/nginx/corvansel.conf")
    replace 'listen 443 ssl http2;' "listen 127.0.0.1:$front_port ssl http2;"
    replace 'listen [::]:443 ssl http2;' ''
    replace 'server 127.0.0.1:8081 ' "server 127.0.0.1:$a "
    replace 'server 127.0.0.1:8082 ' "server 127.0.0.1:$b "
    replace /etc/ssl/certs/corvansel.pem "$tmp/site-chain.pem"
    replace /etc/ssl/private/corvansel.key "$tmp/site.key"
    replace /var/log/nginx/corvansel.access.log "$dir/access.log"
    for option; do
        case $option in
        cache)
            replace '#proxy_cache_path /var/cache/nginx-corvansel ' \
                "proxy_cache_path $dir/cache "
            replace '#proxy_cache corvansel;' 'proxy_cache corvansel;'
            ;;
        valid=*)
            replace 'proxy_cache_valid 200 1m;' \
                "proxy_cache_valid 200 ${option#valid=};"
            ;;
        types)
            replace '#proxy_hide_header Content-Type;' \
                'proxy_hide_header Content-Type;'
            replace '#add_header Content-Type ' 'add_header Content-Type '
            replace '#add_header X-Content-Type-Options ' \
                'add_header X-Content-Type-Options '
            ;;
        hsts)
            replace '#add_header Strict-Transport-Security ' \
                'add_header Strict-Transport-Security '
            ;;
        upstream=*) ;;
        *)
            die "start_nginx: no option $option"
            ;;
        esac
    done
    printf '%s\n' "$conf" >"$dir/site.conf"

    # The distribution's nginx.conf, whatever else this machine's copy
    # holds: the lines the test must own are found by their directive, not
    # by their text. Its includes are left out, but for mime.types: the
    # other sites and snippets of conf.d and sites-enabled, which may
    # listen on ports of their own, and the dynamic modules of
    # modules-enabled, whose snippets load them by a path relative to the
    # prefix, which is $dir here; the site needs no module. pid and user
    # come on the command line, once, whether the file had them or not, so
    # that this nginx never takes the pid file of one that runs as a
    # service. worker_connections is the figure the README asks for.
    sed -E -e '/^[[:space:]]*(user|pid|worker_connections|worker_rlimit_nofile|gzip|gzip_types)[[:space:]]/d' \
        -e '/mime\.types/!{/^[[:space:]]*include[[:space:]]/d}' \
        -e 's|^([[:space:]]*)error_log[[:space:]][^;]*;|\1error_log stderr;|' \
        -e "s|^([[:space:]]*)access_log[[:space:]][^;]*;|\\1access_log $dir/main.access.log;|" \
        -e "s|^events[[:space:]]*\\{|&\\n    worker_connections $nginx_worker_connections;|" \
        -e "s|^http[[:space:]]*\\{|&\\n    include $dir/test.conf;|" \
        /etc/nginx/nginx.conf >"$dir/nginx.conf"
    grep -q "^    worker_connections $nginx_worker_connections;" "$dir/nginx.conf" &&
        grep -q "^    include $dir/test.conf;" "$dir/nginx.conf" ||
        die "/etc/nginx/nginx.conf has no events or http block"
    # In the http block: the temporary files go to $dir, and compression
    # is on for every type, as an operator may have it in nginx.conf,
    # which the site must turn off for itself.
    printf '%s\n' "client_body_temp_path $dir/body;" \
        "proxy_temp_path $dir/proxy;" "fastcgi_temp_path $dir/fastcgi;" \
        "uwsgi_temp_path $dir/uwsgi;" "scgi_temp_path $dir/scgi;" \
        'gzip on;' 'gzip_types *;' "include $dir/site.conf;" >"$dir/test.conf"

    # Started by root, nginx's workers would run as www-data, who cannot
    # enter $tmp.
    local global="daemon off; pid $dir/nginx.pid;"
    global+=" worker_rlimit_nofile $((2 * nginx_worker_connections));"
    [ "$(id -u)" = 0 ] && global+=" user root;"
    local args=(-p "$dir" -e stderr -c "$dir/nginx.conf" -g "$global")
    nginx -q -t "${args[@]}" || die "nginx rejects the configuration"
    front_out=$dir/error.log
    start "$front_out" nginx "${args[@]}"
}

# Makes nginx take both instances out, as a request does that finds both
# refusing: it gets 502.
nginx_lost_both() {
    local code
    code=$(curl_from -o /dev/null -w '%{http_code}' "$base/small") || :
    [ "$code" = 502 ] ||
        fail "nginx: with both instances stopped, a request got $code"
}

# What nginx must do in front of instances a and b, with its cache off
# and on.
nginx_checks() {
    # The upstream block lets 510 connections wait at an instance, in its
    # listen backlog, which the system caps.
    local backlog
    backlog=$(cat /proc/sys/net/core/somaxconn)
    [ "$backlog" -ge 510 ] ||
        fail "nginx: net.core.somaxconn is $backlog, below the 510" \
            "connections the site sends to an instance"
    start_front_end start_nginx pass
    start_slow_readers
    check_tls nginx "$front_port"
    # No version in the Server field.
    local server
    server=$(curl_from -o /dev/null -D - "$base/small" |
        tr -d '\r' | sed -n 's/^server: *//Ip') || :
    [ "$server" = nginx ] || fail "nginx: sends Server: $server"
    check_front_end "$base" via-nginx "$tmp/nginx-pass/access.log"
    check_types nginx off
    check_targets nginx via-nginx
    # The burst at the shipped pace, which is above what the debug build
    # answers here: the instances fall behind, and the connection caps
    # of the upstream block keep every request from 502 (the slow readers
    # hold two connections besides the burst's 1000).
    check_burst nginx
    check_slow_readers nginx
    check_failover via-nginx nginx_lost_both
    stop "$front_pid"

    # It passes on only what corvansel reads, and drops a request body.
    start_recorder
    start_front_end start_nginx recorder upstream="$recorder_port"
    check_forwarded nginx 200
    stop "$front_pid"
    stop "$recorder_pid"

    # With the cache on, a client still gets corvansel's answers, and a
    # second round of the same requests is answered from the cache alone.
    # The content types are on as well, and stay with a file the cache
    # answers.
    start_front_end start_nginx cache cache types hsts
    cases same_answer "$base" via-nginx-cache cache
    local before after
    before=$(requests_both via-nginx-cache /small)
    cases same_answer "$base" via-nginx-cache cache
    after=$(requests_both via-nginx-cache /small)
    [ "$after" = "$before" ] ||
        fail "nginx cache: $((after - before)) requests for a cached file" \
            "reached corvansel"
    check_types nginx on 3
    stop "$front_pid"

    # A cached file replaced by one with an older modification time, as
    # rsync -a leaves it, is served new once its copy expires, here after
    # a second, and within ten.
    printf 'old\n' >"$www/replaced"
    touch -d @1704164645 "$www/replaced"
    start_front_end start_nginx replaced cache valid=1s
    local i got end
    for i in 1 2; do
        got=$(curl_from "$base/replaced") || got="curl failed"
        [ "$got" = old ] || fail "nginx cache: /replaced got $got"
    done
    printf 'new\n' >"$www/replaced.tmp"
    touch -d @1704078245 "$www/replaced.tmp"
    mv "$www/replaced.tmp" "$www/replaced"
    end=$((SECONDS + 10))
    while [ "$SECONDS" -lt "$end" ]; do
        got=$(curl_from "$base/replaced") || got="curl failed"
        [ "$got" = new ] && break
        sleep 0.1
    done
    [ "$got" = new ] ||
        fail "nginx cache: a replaced file with an older date still got $got"
    stop "$front_pid"
}
