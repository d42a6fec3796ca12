#!/usr/bin/env bash
# install-test.sh PROGRAM
# `cmake --install` of this build into a temporary DESTDIR under a prefix other than /usr: the
# program, menu entry, icons, metainfo and man page land where desktops look for them, the entry
# and the metainfo pass their validators, the entry's Exec and Icon name installed files, and the
# man page formats without warnings. With dpkg-dev and lintian present, the Debian package made
# from this build by scripts/package.sh has no lintian errors (the script fails on them), holds
# those files owned by root and depends on the libraries the program links.
set -uo pipefail

app=${1:?PROGRAM}
build=${PELTWICK_BINARY_DIR:?}
source=${PELTWICK_SOURCE_DIR:?}
work=$(mktemp -d "${TMPDIR:-/tmp}/install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2; status=1; }

id=app.peltwick.importer
prefix=$work/dest/opt/peltwick
DESTDIR=$work/dest cmake --install "$build" --prefix /opt/peltwick >/dev/null || { echo "FAIL: cmake --install" >&2; exit 1; }
share=$prefix/share
hicolor=$share/icons/hicolor

cmp -s "$app" "$prefix/bin/PeltwickImporter" || fail "bin/PeltwickImporter is not the built program"
for f in "$share/man/man1/PeltwickImporter.1" "$hicolor/symbolic/apps/$id-symbolic.svg"; do
    [ -s "$f" ] || fail "missing $f"
done
for size in 16 22 24 32 48 64 128 256; do # a PNG's width and height: big-endian, from byte 16
    png=$hicolor/${size}x${size}/apps/$id.png
    dims=$(od -An -tu4 --endian=big -j16 -N8 "$png" 2>/dev/null | xargs)
    [ "$dims" = "$size $size" ] || fail "$png is not a ${size}x$size PNG ($dims)"
done

entry=$share/applications/$id.desktop
out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -n "$exec_name" ] && [ -x "$prefix/bin/$exec_name" ] || fail "Exec=$exec_name is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -n "$icon" ] && [ -f "$hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not an installed icon"
# validate-tree also checks that the metainfo's launchable is an installed desktop entry.
out=$(appstreamcli validate-tree --no-net "$prefix" 2>&1) || fail "appstreamcli validate-tree: $out"
out=$(groff -t -man -ww -z -Tutf8 "$share/man/man1/PeltwickImporter.1" 2>&1) && [ -z "$out" ] ||
    fail "the man page: $out"

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null && command -v lintian >/dev/null; then
    deb=$(bash "$source/scripts/package.sh" --from "$build" "$work/deb" | tail -n1)
    if [ ! -f "$deb" ]; then
        fail "scripts/package.sh made no package (lintian errors above?)"
    else
        contents=$(dpkg-deb --contents "$deb")
        for f in usr/bin/PeltwickImporter usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
            usr/share/man/man1/PeltwickImporter.1.gz usr/share/icons/hicolor/48x48/apps/$id.png \
            usr/share/icons/hicolor/symbolic/apps/$id-symbolic.svg usr/share/doc/peltwick-importer/copyright; do
            grep -q " root/root .* \./$f\$" <<<"$contents" || fail "the package lacks ./$f owned by root"
        done
        depends=$(dpkg-deb -f "$deb" Depends)
        grep -q 'libqt6widgets6 (>= ' <<<"$depends" || fail "Depends lacks the libraries the program links: $depends"
    fi
else
    echo "dpkg-dev or lintian missing: the package part is skipped"
fi
exit $status
