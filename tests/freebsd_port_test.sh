#!/bin/sh
# Checks the FreeBSD port in dist/freebsd/ as far as a Linux machine can;
# the port itself is never built here. Its Makefile sets only variables the
# Porter's Handbook documents, in the handbook's order, and names a licence
# file that the tree has; its install steps, run by BSD make against a
# stand-in for the ports framework, stage exactly the files pkg-plist
# names, under the default PREFIX and under another;
# and the rc script the framework makes of files/corvansel.in is
# dist/rc.d/corvansel, byte for byte, and passes sh -n.
#
# usage: freebsd_port_test.sh source-dir binary
set -eu
src=$(cd "$1" && pwd)
binary=$2
port=$src/dist/freebsd
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES GNUMAKEFLAGS
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
if ! command -v bmake >/dev/null; then
    [ "${CI:-}" != true ] || { fail "bmake is missing"; exit 1; }
    echo "port: skipped: no bmake (bash .ci/install-deps installs it)" >&2
    exit 77
fi

# --- The Makefile's variables. The handbook orders the top of a port's
# Makefile in blocks, one blank line between blocks; within the first blocks
# the order of the variables is fixed too. After the USES block come the
# framework's other variables in any order: those this port may use are
# listed here, so a misspelt one fails rather than being ignored.
cat >"$tmp/order" <<'EOF'
1 PORTNAME PORTVERSION DISTVERSIONPREFIX DISTVERSION DISTVERSIONSUFFIX PORTREVISION PORTEPOCH CATEGORIES MASTER_SITES MASTER_SITE_SUBDIR PKGNAMEPREFIX PKGNAMESUFFIX DISTNAME EXTRACT_SUFX DISTFILES DIST_SUBDIR EXTRACT_ONLY
2 PATCH_SITES PATCHFILES PATCH_DIST_STRIP
3 MAINTAINER COMMENT WWW
4 LICENSE LICENSE_COMB LICENSE_GROUPS LICENSE_NAME LICENSE_TEXT LICENSE_FILE LICENSE_PERMS LICENSE_DISTFILES
5 DEPRECATED EXPIRATION_DATE FORBIDDEN BROKEN IGNORE ONLY_FOR_ARCHS ONLY_FOR_ARCHS_REASON NOT_FOR_ARCHS NOT_FOR_ARCHS_REASON
6 FETCH_DEPENDS EXTRACT_DEPENDS PATCH_DEPENDS BUILD_RUN_DEPENDS BUILD_DEPENDS LIB_DEPENDS RUN_DEPENDS TEST_DEPENDS
7 USES USE_RC_SUBR USE_GITHUB USE_LDCONFIG
8 * CMAKE_ARGS CMAKE_ON CMAKE_OFF CMAKE_BUILD_TYPE PLIST_FILES PLIST_SUB SUB_FILES SUB_LIST USERS GROUPS WRKSRC
EOF
awk -v order="$tmp/order" '
    BEGIN {
        while ((getline line < order) > 0) {
            n = split(line, w, " ")
            free = w[2] == "*"
            for (i = 2; i <= n; i++)
                if (w[i] != "*") {
                    block[w[i]] = w[1]
                    pos[w[i]] = free ? 0 : i
                }
        }
    }
    /^[A-Za-z_][A-Za-z0-9_]*[+?:!]?=/ {
        name = $0
        sub(/[+?:!]?=.*/, "", name)
        if (!(name in block)) {
            print "Makefile: " name " is not a variable of the handbook list"
            next
        }
        b = block[name]; p = pos[name]
        if (b < lastb || (b == lastb && p < lastp))
            print "Makefile: " name " is out of the handbook order"
        if (seen && b != lastb && blanks != 1)
            print "Makefile: " name " starts a block without one blank line before it"
        if (seen && b == lastb && blanks != 0)
            print "Makefile: a blank line splits the block at " name
        lastb = b; lastp = p; blanks = 0; seen = 1
        set[name] = 1
        next
    }
    /^$/ { blanks++; next }
    /^[^#]/ { if (seen) blanks = 2 }
    END {
        split("PORTNAME CATEGORIES MAINTAINER COMMENT", must, " ")
        for (i in must)
            if (!(must[i] in set))
                print "Makefile: " must[i] " is missing"
        if (("PORTVERSION" in set) == ("DISTVERSION" in set))
            print "Makefile: set one of PORTVERSION and DISTVERSION"
    }' "$port/Makefile" >"$tmp/vars"
[ ! -s "$tmp/vars" ] || fail "$(cat "$tmp/vars")"

value() { bmake -m "$tmp/mk" -C "$port" -V "$1"; }
mkdir "$tmp/mk"
: >"$tmp/mk/sys.mk"
: >"$tmp/mk/bsd.port.mk"
comment=$(value COMMENT)
case $comment in
[a-z]* | A\ * | An\ * | *. | *"$(value PORTNAME)"*)
    fail "COMMENT: a capital first, no article, no period, not the name: $comment" ;;
esac
[ ${#comment} -le 70 ] || fail "COMMENT is over 70 characters"
[ "$(value CATEGORIES)" = www ] || fail "CATEGORIES is not www"
# The version the port builds is the one the program reports.
"$binary" -h 2>&1 | grep -qx "release: $(value DISTVERSION)" ||
    fail "DISTVERSION $(value DISTVERSION) is not the program's release"
[ -s "$port/pkg-descr" ] || fail "pkg-descr is empty"
! grep -q '^WWW:' "$port/pkg-descr" ||
    fail "pkg-descr: WWW belongs in the Makefile"
# A port states its licence; the framework installs the file it names from
# the distribution, so that file must be part of the tree.
[ -n "$(value LICENSE)" ] || fail "LICENSE is not set"
license_file=$(WRKSRC=$src value '${LICENSE_FILE}')
[ -f "$license_file" ] || fail "LICENSE_FILE: no $license_file in the tree"
for s in $(value USE_RC_SUBR); do
    [ -f "$port/files/$s.in" ] || fail "USE_RC_SUBR: no files/$s.in"
done

# --- What the port installs. The stand-in framework runs the port's
# do-install with the program just built, then does what the framework
# itself does: the rc scripts of USE_RC_SUBR from files/*.in with their
# %%PREFIX%% filled in, and compressed manual pages.
cat >"$tmp/mk/bsd.port.mk" <<'EOF'
LOCALBASE?=	/usr/local
MKDIR?=		mkdir -p
INSTALL_DATA?=	install -m 0444
INSTALL_SCRIPT?=	install -m 0555
STRIP_CMD?=	strip

stage: do-install
.for s in ${USE_RC_SUBR}
	${MKDIR} ${STAGEDIR}${PREFIX}/etc/rc.d
	sed -e 's|%%PREFIX%%|${PREFIX}|g' -e 's|%%LOCALBASE%%|${LOCALBASE}|g' \
	    ${.CURDIR}/files/${s}.in >${WRKDIR}/${s}
	${INSTALL_SCRIPT} ${WRKDIR}/${s} ${STAGEDIR}${PREFIX}/etc/rc.d/${s}
.endfor
	if [ -d ${STAGEDIR}${PREFIX}/share/man ]; then \
	    find ${STAGEDIR}${PREFIX}/share/man -type f -name '*.[1-9]' \
	        -exec gzip -n9 {} +; \
	fi

# The plist the framework packs: pkg-plist and an entry for each rc script.
plist:
	@cat ${.CURDIR}/pkg-plist
.for s in ${USE_RC_SUBR}
	@echo etc/rc.d/${s}
.endfor
EOF
stage() { # stage PREFIX: stages the port into $tmp/stage$PREFIX
    work="$tmp/work$1"
    mkdir -p "$work"
    env PREFIX="$1" STAGEDIR="$tmp/stage" WRKDIR="$work" WRKSRC="$src" \
        BUILD_WRKSRC="$(dirname "$binary")" \
        bmake -m "$tmp/mk" -C "$port" stage >"$work/log" 2>&1 || {
        cat "$work/log" >&2
        fail "staging with PREFIX=$1"
    }
}
# Each line of the plist as the file it stands for: @sample names the
# .sample file the port stages. Other keywords would need teaching here.
plist_files() {
    env PREFIX="$1" bmake -m "$tmp/mk" -C "$port" plist | while read -r line; do
        case $line in
        "@sample "*) echo "${line#@sample }" ;;
        @*) echo "pkg-plist: unknown keyword in: $line" ;;
        *) echo "$line" ;;
        esac
    done | sort
}
for prefix in /usr/local /opt/cv; do
    rm -rf "$tmp/stage"
    stage "$prefix"
    (cd "$tmp/stage" && find . ! -type d) | sed "s#^\.$prefix/##" | sort \
        >"$tmp/staged"
    plist_files "$prefix" >"$tmp/listed"
    if ! cmp -s "$tmp/listed" "$tmp/staged"; then
        diff "$tmp/listed" "$tmp/staged" >&2 || :
        fail "PREFIX=$prefix: pkg-plist (<) and the staged files (>) differ"
    fi
    rc="$tmp/stage$prefix/etc/rc.d/corvansel"
    sh -n "$rc" || fail "PREFIX=$prefix: the rc script: sh -n"
    if [ "$prefix" = /usr/local ]; then
        cmp -s "$rc" "$src/dist/rc.d/corvansel" || fail \
            "files/corvansel.in is not dist/rc.d/corvansel with /usr/local as %%PREFIX%%: remake it with
    sed 's#/usr/local#%%PREFIX%%#g' dist/rc.d/corvansel >dist/freebsd/files/corvansel.in"
    elif grep -n /usr/local "$rc" >&2; then
        fail "PREFIX=$prefix: the rc script names /usr/local"
    fi
    [ -x "$tmp/stage$prefix/bin/corvansel" ] ||
        fail "PREFIX=$prefix: no program staged"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed" >&2
    exit 1
fi
echo "port: Makefile variables, pkg-plist and the rc script check out"
