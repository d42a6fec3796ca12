#!/usr/bin/env bash
# with-sni-panel.sh MODE CMD...: with-keyring.sh MODE, then CMD under xfce4-panel (with-xtray.sh --sni).
exec "$(dirname "$0")/with-keyring.sh" "$1" "$(dirname "$0")/with-xtray.sh" --sni "${@:2}"
