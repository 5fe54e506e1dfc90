#!/usr/bin/env bash
# Installs the Debian 12 packages that building (run) or testing (test) needs, if any is missing.
set -euo pipefail

run_packages=(cmake ninja-build g++ qt6-base-dev qt6-qpa-plugins libcpp-httplib-dev libx11-dev libxtst-dev
              libevdev-dev libxkbcommon-dev libwayland-dev xdg-utils)
test_packages=("${run_packages[@]}" clang libclang-rt-14-dev clang-format libbenchmark-dev
               xvfb xdotool vlc-bin vlc-plugin-base dbus-daemon python3-dbusmock
               chromium chromium-driver python3-selenium
               dpkg-dev file lintian desktop-file-utils appstream librsvg2-bin
               mutter xdg-desktop-portal wev sway qemu-system-x86 busybox-static
               python3-dbus python3-gi)

case "${1:-run}" in
run) wanted=("${run_packages[@]}") ;;
test) wanted=("${test_packages[@]}") ;;
*) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
    [[ $status == ii* ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
