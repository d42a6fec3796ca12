#!/usr/bin/env bash
# Builds the Debian package peltwick-importer_<version>_<arch>.deb from the CMake install rules,
# checks it with lintian (errors fail the script, warnings are listed) and prints the package's
# path as its last line.
#
#   bash scripts/package.sh                installs the build tools and its own, makes a Release
#                                          build in build-package/ and packages it there
#   bash scripts/package.sh --from BUILD OUT
#                                          packages an already configured and built tree BUILD
#                                          into the folder OUT, installing nothing (the install
#                                          test uses this)
#
# DEBFULLNAME and DEBEMAIL set the Maintainer field; SOURCE_DATE_EPOCH the changelog's date.
set -euo pipefail
cd "$(dirname "$0")/.."
umask 022
pkg=peltwick-importer

package() { # build out
    local build=$1 out=$2
    local version arch stage doc shlibs deb epoch
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    [ -n "$version" ] || { echo "package.sh: no project version in $build/CMakeCache.txt" >&2; exit 1; }
    arch=$(dpkg --print-architecture)
    mkdir -p "$out"
    out=$(cd "$out" && pwd)
    # The layout dpkg-shlibdeps expects: debian/control beside debian/<package>, the staged tree.
    stage=$out/debian/$pkg
    rm -rf "$out/debian"
    mkdir -p "$out/debian"
    printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$pkg" "$pkg" >"$out/debian/control"
    DESTDIR=$stage cmake --install "$build" --prefix /usr --strip >/dev/null
    # What dh_strip also drops; man pages are compressed, as Debian policy wants.
    local module
    module=$(find "$stage/usr/lib" -name peltwick-eds.so 2>/dev/null || true)
    strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/PeltwickImporter" $module
    gzip -9n "$stage/usr/share/man/man1/PeltwickImporter.1"

    local maintainer="${DEBFULLNAME:-Peltwick Importer developers} <${DEBEMAIL:-importer@peltwick.app}>"
    epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
    doc=$stage/usr/share/doc/$pkg
    mkdir -p "$doc"
    cat >"$doc/copyright" <<EOF
PeltwickImporter $version, packaged from the project's own sources.

Copyright $(date -u -d "@$epoch" +%Y) the PeltwickImporter developers.

License: the project has not published a licence yet; until it does, all rights are reserved.
EOF
    cat <<EOF | gzip -9n >"$doc/changelog.gz"
$pkg ($version) bookworm; urgency=medium

  * PeltwickImporter $version.

 -- $maintainer  $(date -u -R -d "@$epoch")
EOF

    # Library dependencies come from the binary, found in a tree that has its DEBIAN folder.
    mkdir -p "$stage/DEBIAN"
    shlibs=$(cd "$out" && dpkg-shlibdeps -O -e"debian/$pkg/usr/bin/PeltwickImporter" ${module:+-e"${module#"$out"/}"})
    shlibs=${shlibs#shlibs:Depends=}

    # Qt loads its SVG support as a plugin, which no linked library shows: the program's icons
    # are SVG. The keyring holds the credential; the icon theme owns the hicolor folders.
    cat >"$stage/DEBIAN/control" <<EOF
Package: $pkg
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $shlibs, libqt6svg6
Recommends: gnome-keyring, hicolor-icon-theme
Section: utils
Priority: optional
Description: copies your address book into your Peltwick vault
 A small tray program that copies the people of your address book into your
 Peltwick vault, a folder of Markdown notes on a WebDAV server: each contact
 becomes one person note. Notes are only ever created, never overwritten or
 deleted.
 .
 It reads the vCard files under ~/.local/share/contacts and, when built with
 it, GNOME's address book, keeps its app password in the desktop keyring
 (Secret Service), and syncs from the tray menu, every hour, or once with
 "PeltwickImporter --sync".
EOF

    (cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
        >"$stage/DEBIAN/md5sums"
    deb=$out/${pkg}_${version}_${arch}.deb
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
    # Errors fail the script; warnings and the rest are listed.
    lintian --allow-root --fail-on error --display-info "$deb" >&2
    echo "$deb"
}

if [ "${1:-}" = --from ]; then
    package "${2:?BUILD}" "${3:?OUT}"
    exit
fi

bash scripts/install-deps.sh
tools=(dpkg-dev lintian binutils)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# All of Debian's hardening flags: stack protector, fortify, relro and bindnow, PIE.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELTWICK_TESTS=OFF -DPELTWICK_BENCH=OFF \
    -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >&2
cmake --build build-package -j "$(nproc)" >&2
package build-package build-package
