#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and run the program; with --tests also those
# the test suite needs (WebDAV servers, a keyring, an X server with a tray, Evolution Data Server).
set -euo pipefail

build=(cmake ninja-build g++ pkg-config ca-certificates
    libcurl4-openssl-dev libexpat1-dev libicu-dev libsecret-1-dev libebook1.2-dev
    qt6-base-dev libqt6svg6 qt6-qpa-plugins)
tests=(clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev
    apache2 apache2-utils lighttpd lighttpd-mod-webdav openssl curl
    gnome-keyring libsecret-tools libglib2.0-bin dbus dbus-bin dbus-user-session
    xvfb xauth xdotool x11-utils libx11-dev imagemagick trayer xfce4-panel xfconf strace
    evolution-data-server
    desktop-file-utils appstream groff-base lintian dpkg-dev)

want=("${build[@]}")
[ "${1:-}" = --tests ] && want+=("${tests[@]}")

missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
