#!/bin/bash
# Proves the front ends in dist/: HAProxy (dist/haproxy/corvansel.cfg,
# beside the distribution's haproxy.cfg) and nginx
# (dist/nginx/corvansel.conf, included by the distribution's nginx.conf),
# each in front of two instances of the binary just built, reached over
# HTTPS with a certificate chain of a throwaway authority:
#   - a client gets the same answers as from corvansel on its own, keeps
#     its connection open across requests, and gets large files whole;
#   - TLS 1.3 and TLS 1.2 with AEAD suites complete a handshake, CBC
#     suites and TLS 1.1 do not (openssl s_client);
#   - 1000 requests in flight at once (h2load, over HTTP/2 and pipelined
#     over HTTP/1.1, and over HTTP/2 for a file of 1 MiB) all get their
#     answer, none a 5xx, and no instance is taken out, nginx at its
#     shipped pace;
#   - a slow reader, which takes a large file at 10 KB/s for 40 seconds
#     after a fast start, gets it whole over HTTP/2 and HTTP/1.1;
#   - a target that decodes to a zero byte gets 400 from the front end and
#     never reaches an instance; one in absolute form gets the file;
#   - an instance that stops costs no request and no second's wait, one
#     that comes back takes requests within seconds, and once both had
#     stopped, the first to come back answers at once;
#   - only Range, If-Range, If-Modified-Since and User-Agent reach an
#     instance, never a request body (a recorder stands in for both);
#   - nginx's cache answers what corvansel would, and serves a file
#     replaced by an older one anew once its copy expires;
#   - content types by extension (of the name corvansel serves), nosniff
#     and HSTS are off as shipped and right once turned on.
# The configurations are the shipped files with addresses, ports and paths
# replaced, nginx.conf's worker_connections as the README asks, and the
# lines that are off as shipped turned on where a check needs them. Everything
# listens on loopback ports picked here, and every process started here is
# gone at the end.
#
# Needs haproxy, nginx, openssl, curl, h2load, ss and setsid, and the
# packages' own /etc/haproxy/haproxy.cfg and /etc/nginx/nginx.conf, of
# which the test takes HAProxy's global section and nginx's events and
# http blocks, whatever else this machine's copies hold: no other site,
# snippet or dynamic module; .ci/install-deps installs them, and a
# dynamic nginx module with them. The parts in tests/proxy/ each hold one
# job: processes.sh starts and stops processes; fixture.sh makes the
# files, the certificates, the instances and the recorder; client.sh is
# what a client sends and sees; front_end.sh starts a front end from its
# shipped file; checks.sh, tls.sh and fields.sh hold what every front end
# must do; and haproxy.sh and nginx.sh run each front end through them.
#
# usage: proxy_test.sh source-dir binary recorder
#   recorder: tests/proxy_recorder.cc built, which stands in for an
#   instance and records what a front end passes on
set -euo pipefail
src=$1
binary=$2
recorder=$3
parts=$(dirname "$0")/proxy

for need in haproxy nginx openssl curl h2load ss setsid \
    /etc/haproxy/haproxy.cfg /etc/nginx/nginx.conf; do
    if ! command -v "$need" >/dev/null && ! [ -e "$need" ]; then
        # CI installs every tool (.ci/install-deps): there a missing one fails.
        [ "${CI:-}" = true ] && { echo "FAIL: $need is missing" >&2; exit 1; }
        echo "proxy: skipped, $need is missing (bash .ci/install-deps)" >&2
        exit 77
    fi
done

. "$(dirname "$0")/free_port.sh"
. "$parts/processes.sh"
. "$parts/fixture.sh"
. "$parts/client.sh"
. "$parts/front_end.sh"
. "$parts/checks.sh"
. "$parts/tls.sh"
. "$parts/fields.sh"
. "$parts/haproxy.sh"
. "$parts/nginx.sh"

make_files
make_certificates
start_instance a
start_instance b

haproxy_checks
nginx_checks

# Every process started here is gone.
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
