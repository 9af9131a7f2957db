#!/bin/sh
# Lints the manual page with mandoc at every level, style included. Only
# the notes on cross references are let through: whether daemon(8) or
# curl(1) is installed depends on the machine, not on the page.
#
# usage: manpage_lint.sh page
set -eu
page=$1
if ! command -v mandoc >/dev/null; then
    echo "mandoc not found (apt-get install mandoc): lint skipped" >&2
    # CI installs every tool (.ci/install-deps): there a missing one fails.
    [ "${CI:-}" = true ] && exit 1
    exit 77
fi
out=$(mandoc -Tlint "$page" 2>&1 | grep -v -e 'referenced manual not found' \
    -e 'outdated mandoc\.db' -e 'mandoc\.db.*makewhatis' || true)
if [ -n "$out" ]; then
    echo "$out" >&2
    exit 1
fi
echo "manpage: mandoc -Tlint is clean"
