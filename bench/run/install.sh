# Sourced by bench/run.sh: installs with apt-get whatever the harness needs
# and the machine lacks.
# shellcheck shell=bash

install_missing() {
    local need=()
    command -v wrk >/dev/null || need+=(wrk)
    command -v nginx >/dev/null || need+=(nginx)
    # grep reads the whole list: busybox writes it a name at a time, and
    # under pipefail a grep -q that stops early fails the test by SIGPIPE.
    busybox --list 2>/dev/null | grep -x httpd >/dev/null || need+=(busybox)
    command -v mini_httpd >/dev/null || need+=(mini-httpd)
    command -v ss >/dev/null || need+=(iproute2)
    command -v ps >/dev/null || need+=(procps)
    command -v file >/dev/null || need+=(file)
    command -v g++ >/dev/null || need+=(g++)
    # The release server is linked statically with lld; without it the build
    # falls back to dynamic linking and the figures are not the ones we ship.
    command -v ld.lld >/dev/null || need+=(lld)
    # The floor is linked statically.
    [ -e /usr/lib/x86_64-linux-gnu/libc.a ] || need+=(libc6-dev)
    [ ${#need[@]} -eq 0 ] && return 0
    log "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # The packages' own scripts would start nginx and mini_httpd as system
    # services on ports of their own; a policy that refuses keeps them off.
    local policy=/usr/sbin/policy-rc.d made_policy=0
    if [ ! -e $policy ]; then
        printf '#!/bin/sh\nexit 101\n' >$policy
        chmod 755 $policy
        made_policy=1
    fi
    local i ok=0
    # Another apt-get may hold the lock for a while; wait for it, bounded.
    for i in $(seq 1 30); do
        if apt-get -o DPkg::Lock::Timeout=60 update -qq &&
            apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
                --no-install-recommends "${need[@]}" >/dev/null; then
            ok=1
            break
        fi
        log "apt-get failed (try $i), retrying in 10 s"
        sleep 10
    done
    [ $made_policy -eq 1 ] && rm -f $policy
    [ $ok -eq 1 ] || { echo "could not install ${need[*]}" >&2; exit 1; }
}
