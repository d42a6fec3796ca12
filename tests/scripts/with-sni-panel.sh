#!/usr/bin/env bash
# with-sni-panel.sh MODE CMD [ARGS...]
# Runs CMD under a status-notifier tray: a private D-Bus session and home with gnome-keyring in MODE
# (with-keyring.sh: unlocked, or locked with the unlock prompt opening on the display when a
# program asks), and a private Xvfb with xfce4-panel as the host (with-xtray.sh --sni). CMD sees
# DISPLAY, DBUS_SESSION_BUS_ADDRESS, HOME and the XDG folders; everything stops afterwards.
here=$(dirname "$0")
exec "$here/with-keyring.sh" "${1:?usage: with-sni-panel.sh MODE CMD [ARGS...]}" "$here/with-xtray.sh" --sni "${@:2}"
