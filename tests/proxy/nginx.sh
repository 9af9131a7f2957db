# Sourced by proxy_test.sh: nginx with the shipped dist/nginx/corvansel.conf,
# its cache off and on.

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

# What nginx must do in front of instances a and b, with its cache off
# and on.
nginx_checks() {
    start_front_end start_nginx pass
    check_front_end "$base" via-nginx "$tmp/nginx-pass/access.log"
    check_failover "$base" via-nginx
    stop "$front_pid"

    # With the cache on, a client still gets corvansel's answers, and a
    # second round of the same requests is answered from the cache alone.
    start_front_end start_nginx cache
    cases same_answer "$base" via-nginx-cache cache
    local before after
    before=$(requests_both via-nginx-cache /small)
    cases same_answer "$base" via-nginx-cache cache
    after=$(requests_both via-nginx-cache /small)
    [ "$after" = "$before" ] ||
        fail "nginx cache: $((after - before)) requests for a cached file" \
            "reached corvansel"
    stop "$front_pid"
}
