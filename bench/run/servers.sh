# Sourced by bench/run.sh: the command line of each server measured, all
# serving $WORK/www on 127.0.0.1, and starting one.
# shellcheck shell=bash

# write_nginx_conf PORT CONF CONNECTIONS: nginx's configuration, with its
# pid file, logs and temporary folders beside CONF. Every connection is
# logged with its number and how many requests it served, which the report
# reads back to show that none served two.
write_nginx_conf() {
    local port=$1 conf=$2 connections=$3 dir limit=''
    dir=$(dirname "$conf")
    mkdir -p "$dir"
    # Each connection is a descriptor of a worker.
    [ "$connections" -gt 1024 ] &&
        limit="worker_rlimit_nofile $((connections + 64));"
    cat >"$conf" <<CONF
daemon off;
master_process on;
worker_processes auto;
pid $dir/nginx.pid;
error_log $dir/error.log;
$limit
events { worker_connections $connections; }
http {
    log_format bench '\$remote_addr - \$remote_user [\$time_local] "\$request" '
                     '\$status \$body_bytes_sent "\$http_referer" '
                     '"\$http_user_agent" \$connection \$connection_requests';
    access_log $dir/access.log bench;
    sendfile on;
    keepalive_timeout 0;
    default_type application/octet-stream;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$port;
        root $WORK/www;
    }
}
CONF
}

# server_command NAME PORT [CONNECTIONS]: prints the command line that
# serves $WORK/www on 127.0.0.1:PORT; CONNECTIONS (1024) is what each
# nginx worker may hold.
server_command() {
    local name=$1 port=$2 connections=${3:-1024}
    case $name in
    floor) echo "$WORK/bin/floor $port" ;;
    corvansel) echo "$BIN -d $WORK/www -l 127.0.0.1 $port" ;;
    nginx)
        write_nginx_conf "$port" "$WORK/nginx-$port/nginx.conf" "$connections"
        echo "nginx -p $WORK/nginx-$port -e $WORK/nginx-$port/error.log" \
            "-c $WORK/nginx-$port/nginx.conf"
        ;;
    busybox) echo "busybox httpd -f -p 127.0.0.1:$port -h $WORK/www" ;;
    mini_httpd)
        echo "mini_httpd -D -h 127.0.0.1 -p $port -d $WORK/www" \
            "-l $WORK/mini_httpd-$port.log -u nobody"
        ;;
    esac
}

# launch NAME OUT [CONNECTIONS]: starts the server on a free port, its
# output to OUT, and waits until it listens; sets LAST_PORT and LAST_PID.
launch() {
    local name=$1 out=$2 cmd
    LAST_PORT=$(pick_port)
    cmd=$(server_command "$name" "$LAST_PORT" "${3:-}")
    # shellcheck disable=SC2086 # the command is split on purpose
    start_group "$out" $cmd
    wait_listening "$LAST_PORT" "$name"
}

# The one process that holds the listening socket on the port, which
# accepts every connection and, in a server of our design, forks its
# worker; nothing when several share the socket, as nginx's workers do.
accepting_pid() {
    local pids
    pids=$(ss -Hltnp "sport = :$1" | grep -o 'pid=[0-9]*' | cut -d= -f2 |
        sort -u)
    [ "$(echo "$pids" | wc -w)" -eq 1 ] && echo "$pids"
    return 0
}

# start_server NAME: the instance that the load and memory measurements
# share, at PORT[NAME], its process group ROOTPID[NAME].
declare -A PORT ROOTPID ACCEPTOR
start_server() {
    local name=$1
    launch "$name" "$WORK/$name.out"
    PORT[$name]=$LAST_PORT
    ROOTPID[$name]=$LAST_PID
    ACCEPTOR[$name]=$(accepting_pid "$LAST_PORT")
    log "$name listening on 127.0.0.1:$LAST_PORT (pid $LAST_PID)"
}
