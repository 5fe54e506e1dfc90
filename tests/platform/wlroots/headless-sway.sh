#!/bin/sh
# Runs a headless sway whose Wayland socket appears in RUNTIME_DIR, until it is terminated:
#     headless-sway.sh RUNTIME_DIR
# sway refuses to run as root, so as root it runs as the system user zctest (created if missing)
# and the runtime directory is handed to that user; root's clients reach the socket all the same.
set -eu
runtime=$1
printf '# No bar, no wallpaper, no X: nothing but the windows under test.\nxwayland disable\n' >"$runtime/config"
set -- env XDG_RUNTIME_DIR="$runtime" HOME="$runtime" WLR_BACKENDS=headless \
    WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$runtime/config"
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"
fi
id zctest >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin zctest
chown zctest:zctest "$runtime" "$runtime/config"
chmod 700 "$runtime"
exec setpriv --reuid=zctest --regid=zctest --init-groups "$@"
