#!/usr/bin/env bash
# Builds the .deb into build-package/ and checks it as a user would get it: its control fields,
# its file list, its program, its desktop entry, metainfo and icons, and lintian's verdict.
# scripts/test.sh runs it after the suite. With ZC_TEST_ALLOW_SYSTEM_CHANGES=1 as root (as in CI)
# it also installs the package with dpkg, checks the installed program and removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-package
version=$(sed -n 's/^project(zanti-connect VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$build/zanti-connect_${version}_$(dpkg --print-architecture).deb

fail() {
    echo "package-test: $*" >&2
    exit 1
}

# The flags Debian's own build tools give a package: lintian looks for their hardening.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DZC_BENCHMARKS=OFF
         "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
         "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
if command -v ccache >/dev/null; then
    options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
# Only what the package holds: the test tools stay out of this build.
cmake --build "$build" --target zanti-connect zc_packaging_docs
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
[[ -f $deb ]] || fail "cpack made no $deb"

scratch=$(mktemp -d)
program_pid=
cleanup() {
    [[ -z $program_pid ]] || kill "$program_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

# The dependencies are read off the program, not typed by hand: a library it links must show up.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6core6 libqt6network6 libqt6dbus6 libqt6widgets6 qt6-qpa-plugins libx11-6 libxtst6 libevdev2 \
    libcpp-httplib; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
[[ $(dpkg-deb -f "$deb" Recommends) == *xdg-utils* ]] || fail "xdg-utils is not recommended"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
expected="usr/bin/zanti-connect
usr/lib/modules-load.d/zanti-connect.conf
usr/lib/udev/rules.d/70-zanti-connect-uinput.rules
usr/share/applications/zanti-connect.desktop
usr/share/doc/zanti-connect/changelog.gz
usr/share/doc/zanti-connect/copyright
usr/share/icons/hicolor/scalable/apps/zanti-connect.svg
usr/share/man/man1/zanti-connect.1.gz
usr/share/metainfo/io.github.zanticonnect.ZantiConnect.metainfo.xml"
actual=$(cd "$root" && find . -type f -printf '%P\n' | LC_ALL=C sort)
diff -u <(echo "$expected") <(echo "$actual") || fail "the package holds other files than expected"

reported=$("$root/usr/bin/zanti-connect" --version)
[[ $reported == "zanti-connect $version" ]] || fail "--version printed '$reported'"

desktop=$root/usr/share/applications/zanti-connect.desktop
metainfo=$root/usr/share/metainfo/io.github.zanticonnect.ZantiConnect.metainfo.xml
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$metainfo" >/dev/null || appstreamcli validate --no-net "$metainfo"
# Each file names the others: a rename in one must not leave the menu entry without its icon
# or the metainfo without its entry.
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
[[ -f $root/usr/share/applications/$launchable ]] || fail "metainfo launches '$launchable'"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[[ -f $root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "no icon '$icon'"
grep -qx 'Exec=zanti-connect' "$desktop" || fail "the menu entry does not start zanti-connect"
grep -qx 'Exec=zanti-connect --open-settings' "$desktop" || fail "no Settings action"
for svg in src/app/icons/*.svg; do
    for size in 16 22 32; do
        rsvg-convert -w "$size" -h "$size" "$svg" -o "$scratch/icon.png" ||
            fail "$svg does not render at $size px"
    done
done

lintian_status=0
lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$scratch/lintian.log" || true
[[ $lintian_status -eq 0 ]] || fail "lintian reports errors"

# Starts the program as a user whose settings ask for start at login and checks that the
# autostart entry it writes names the program as installed: $1.
check_autostart_entry() {
    local program=$1 home=$scratch/home
    rm -rf "$home"
    mkdir -p "$home/.config/zanti-connect" "$home/run"
    chmod 0700 "$home/.config/zanti-connect" "$home/run"
    # Free ports, so that the program neither collides with one that runs nor moves its own.
    python3 -c '
import json, socket, sys
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
web, command = (s.getsockname()[1] for s in sockets)
json.dump({"zanticonnect.webServerPort": web, "zanticonnect.serverUDPPort": command,
           "zanticonnect.serverTCPPort": command,
           "zanticonnect.checkForUpdatesAtLaunch": "false"}, sys.stdout)
' >"$home/.config/zanti-connect/morvell.osx.zanticonnectgroup.json"
    chmod 0600 "$home/.config/zanti-connect/morvell.osx.zanticonnectgroup.json"
    local entry=$home/.config/autostart/zanti-connect.desktop
    env -u DISPLAY -u WAYLAND_DISPLAY HOME="$home" XDG_CONFIG_HOME="$home/.config" \
        XDG_RUNTIME_DIR="$home/run" "$program" >"$scratch/program.log" 2>&1 &
    program_pid=$!
    for _ in $(seq 100); do
        [[ -f $entry ]] && break
        sleep 0.1
    done
    [[ -f $entry ]] || fail "$program wrote no autostart entry: $(cat "$scratch/program.log")"
    grep -qx "Exec=$program" "$entry" || fail "the autostart entry does not name $program"
    kill -TERM "$program_pid"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=
    [[ $status -eq 0 ]] || fail "$program exited with $status on SIGTERM"
}
check_autostart_entry "$root/usr/bin/zanti-connect"

if [[ ${ZC_TEST_ALLOW_SYSTEM_CHANGES:-} == 1 && $(id -u) -eq 0 ]]; then
    dpkg -i "$deb" >/dev/null
    [[ $(/usr/bin/zanti-connect --version) == "zanti-connect $version" ]] ||
        fail "the installed program reports another version"
    check_autostart_entry /usr/bin/zanti-connect
    dpkg --purge zanti-connect >/dev/null
fi
echo "package-test: $deb passed"
