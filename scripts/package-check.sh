#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), installs it on this machine with apt-get, checks
# that the program starts from its applications-menu entry's Exec and that its files are where
# desktops look for them, then removes it with apt-get and checks that nothing of it stays.
# Needs root (or sudo); changes this machine's installed packages.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
pkg=peltwick-importer
id=app.peltwick.importer
status=0
fail() { echo "package-check: FAIL: $*" >&2; status=1; }

deb=$(bash scripts/package.sh | tee /dev/stderr | tail -n1)
[ -f "$deb" ] || { fail "scripts/package.sh printed no package path"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
# The package's paths, without the leading "." (directories end in /).
mapfile -t paths < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; /^\/$/d')

echo "== install $deb"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "$deb"
[ "$(dpkg-query -W -f='${Status}' $pkg)" = "install ok installed" ] || { fail "$pkg is not installed"; exit 1; }

echo "== the installed program"
hicolor=/usr/share/icons/hicolor
for f in /usr/bin/PeltwickImporter /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
    /usr/share/man/man1/PeltwickImporter.1.gz $hicolor/scalable/apps/$id.svg $hicolor/symbolic/apps/$id-symbolic.svg \
    $hicolor/{16x16,22x22,24x24,32x32,48x48,64x64,128x128,256x256}/apps/$id.png; do
    [ -f "$f" ] || fail "missing $f"
done
[ "$(man -w PeltwickImporter)" = /usr/share/man/man1/PeltwickImporter.1.gz ] || fail "man does not find the page"
# The menu's Exec, run as the menu would (found on PATH), with no display: --version must work.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/$id.desktop)
read -r -a argv <<<"$exec_line"
[ "$(command -v "${argv[0]}")" = /usr/bin/PeltwickImporter ] || fail "Exec=$exec_line is not the installed program"
if ldd "/usr/bin/PeltwickImporter" | grep 'not found'; then fail "unresolved libraries"; fi
if out=$(env -u DISPLAY -u WAYLAND_DISPLAY "${argv[0]}" --version); then
    echo "$out"
    grep -qF "$version" <<<"$out" || fail "--version does not print $version"
else
    fail "'${argv[0]} --version' failed"
fi

echo "== remove"
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get remove -y -q $pkg
state=$(dpkg-query -W -f='${db:Status-Abbrev}' $pkg 2>/dev/null || true)
[ -z "$state" ] || [ "${state:0:2}" = "un" ] || fail "$pkg is still known to dpkg as '$state'"
left=0
for p in "${paths[@]}"; do
    [ -e "${p%/}" ] || continue
    # A folder the package shared with others (/usr/bin, the icon theme's folders) stays.
    if [[ $p == */ ]] && dpkg-query -S "${p%/}" >/dev/null 2>&1; then continue; fi
    echo "left behind: $p" >&2
    left=1
done
[ $left -eq 0 ] || fail "files of $pkg stayed after apt-get remove"
[ $status -eq 0 ] || exit 1
echo "package-check: OK: $deb ($(du -h "$deb" | cut -f1)) installs, starts from its menu entry, and leaves nothing when removed"
