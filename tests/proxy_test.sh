#!/bin/bash
# Proves the front ends in dist/: HAProxy (dist/haproxy/corvansel.cfg,
# beside the distribution's haproxy.cfg) and nginx (dist/nginx/corvansel.conf,
# included by the distribution's nginx.conf, with its cache off and on),
# each in front of two instances of the binary just built, reached with
# curl over HTTPS with a certificate chain of a throwaway authority. Each
# offers TLS 1.3 and TLS 1.2 with AEAD suites only. A client gets the same
# answers as from corvansel on its own, keeps its connection open across
# requests, and sees no failure while one instance is stopped; the instance
# takes requests again once restarted. The configurations are the shipped
# files with only addresses, ports and paths replaced; everything listens
# on loopback ports picked here, and every process started here is gone at
# the end.
#
# Needs haproxy, nginx, openssl, curl, h2load, ss and setsid, and the packages'
# own /etc/haproxy/haproxy.cfg and /etc/nginx/nginx.conf; .ci/install-deps
# installs them. The parts in tests/proxy/ each hold one job: processes.sh
# starts and stops processes, fixture.sh makes the files, the certificates
# and the instances, checks.sh holds what every front end must do, and
# haproxy.sh and nginx.sh run each front end.
#
# usage: proxy_test.sh source-dir binary recorder
#   recorder: tests/proxy_recorder.cc built, which stands in for an
#   instance and records what a front end passes on
set -euo pipefail
src=$1
binary=$2
recorder=$3
parts=$(dirname "$0")/proxy

for tool in haproxy nginx openssl curl h2load ss setsid; do
    if ! command -v "$tool" >/dev/null; then
        # CI installs every tool (.ci/install-deps): there a missing one fails.
        [ "${CI:-}" = true ] && { echo "FAIL: $tool is missing" >&2; exit 1; }
        echo "proxy: skipped, $tool is missing (bash .ci/install-deps)" >&2
        exit 77
    fi
done

. "$parts/processes.sh"
. "$parts/fixture.sh"
. "$parts/checks.sh"
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
