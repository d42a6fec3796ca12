#!/usr/bin/env bash
# install-test.sh PROGRAM: `cmake --install` of this build into a DESTDIR under /opt/peltwick: the program,
# its address-book module, menu entry, icons, metainfo and man page land where desktops look, pass their
# validators, and the entry's Exec and Icon name installed files. With dpkg-dev and lintian, the package of
# scripts/package.sh (which fails on lintian errors) holds them owned by root and depends on Qt.
set -uo pipefail
app=$1 id=app.peltwick.importer work=$(mktemp -d) status=0
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2 && status=1; }
prefix=$work/dest/opt/peltwick share=$work/dest/opt/peltwick/share hicolor=$work/dest/opt/peltwick/share/icons/hicolor
DESTDIR=$work/dest cmake --install "$PELTWICK_BINARY_DIR" --prefix /opt/peltwick >/dev/null || fail "cmake --install"

cmp -s "$app" "$prefix/bin/PeltwickImporter" || fail "bin/PeltwickImporter is not the built program"
[ ! -f "$PELTWICK_BINARY_DIR/peltwick-eds.so" ] || [ -f "$prefix/lib/peltwick-importer/peltwick-eds.so" ] ||
    [ -f "$(echo "$prefix"/lib/*/peltwick-importer/peltwick-eds.so)" ] || fail "the address-book module is missing"
for f in "$share/man/man1/PeltwickImporter.1" "$hicolor/symbolic/apps/$id-symbolic.svg"; do
    [ -s "$f" ] || fail "missing $f"
done
for size in 16 22 24 32 48 64 128 256; do # a PNG's width and height: big-endian, from byte 16
    dims=$(od -An -tu4 --endian=big -j16 -N8 "$hicolor/${size}x$size/apps/$id.png" 2>/dev/null | xargs)
    [ "$dims" = "$size $size" ] || fail "the ${size}x$size icon is $dims"
done
entry=$share/applications/$id.desktop
out=$(desktop-file-validate "$entry" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
[ -x "$prefix/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" ] || fail "Exec is not an installed program"
[ -f "$hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$entry").svg" ] || fail "Icon is not an installed icon"
# validate-tree also checks that the metainfo's launchable is an installed desktop entry.
out=$(appstreamcli validate-tree --no-net "$prefix" 2>&1) || fail "appstreamcli validate-tree: $out"
out=$(groff -t -man -ww -z -Tutf8 "$share/man/man1/PeltwickImporter.1" 2>&1) && [ -z "$out" ] || fail "man page: $out"

if ! command -v dpkg-shlibdeps >/dev/null || ! command -v lintian >/dev/null; then
    echo "dpkg-dev or lintian missing: the package part is skipped" && exit $status
fi
deb=$(bash "$PELTWICK_SOURCE_DIR/scripts/package.sh" --from "$PELTWICK_BINARY_DIR" "$work/deb" | tail -n1)
contents=$(dpkg-deb --contents "$deb") || fail "scripts/package.sh made no package (lintian errors above?)"
for f in usr/bin/PeltwickImporter usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
    usr/share/man/man1/PeltwickImporter.1.gz usr/share/icons/hicolor/48x48/apps/$id.png \
    usr/share/icons/hicolor/symbolic/apps/$id-symbolic.svg usr/share/doc/peltwick-importer/copyright; do
    grep -q " root/root .* \./$f\$" <<<"$contents" || fail "the package lacks ./$f owned by root"
done
grep -q 'libqt6widgets6 (>= ' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "Depends lacks the libraries linked"
exit $status
