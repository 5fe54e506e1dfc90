#!/usr/bin/env bash
# Runs a program in a small virtual machine whose kernel has uinput and evdev, for the machines
# whose own kernel has none:
#   guest_test.sh CACHE_DIR PROGRAM [ARGUMENTS...]
# The guest is Debian's kernel with a busybox initramfs that holds the program, the libraries it
# loads, the XKB layouts and an /etc/default/keyboard naming the German layout, with loopback up
# for programs that talk to a server of their own. It runs as root, prints the program's output
# and exits with the program's status. Debian's kernel package is fetched once into CACHE_DIR. Without KVM the guest is emulated: it takes some seconds.
# Exit status 77 (skipped) only when qemu-system-x86_64 is not installed.
set -euo pipefail

[[ $# -ge 2 ]] || { echo "usage: $0 CACHE_DIR PROGRAM [ARGUMENTS...]" >&2; exit 2; }
cache=$1
program=$(readlink -f "$2")
shift 2

if ! command -v qemu-system-x86_64 >/dev/null; then
    echo "SKIP: qemu-system-x86_64 is not installed (scripts/install-deps.sh test installs it)"
    exit 77
fi
busybox=/bin/busybox
file -L "$busybox" | grep -q 'statically linked' ||
    { echo "guest_test: $busybox is not the static busybox (busybox-static)" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The kernel and its modules uinput and evdev, with whatever modules they need, decompressed:
# busybox's insmod takes plain modules only.
kernel=$cache/vmlinuz
# The cache serves every build folder of the machine: one run fills it while the others wait.
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
if [[ ! -f $kernel || ! -f $cache/modules/order ]]; then
    mkdir -p "$cache"
    rm -rf "$cache/modules"
    # The lists may be missing, or name a version the archive has dropped since: read afresh
    # once (as root) when the kernel cannot be had.
    fetch_kernel() {
        package=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\(-unsigned\)\?\)$/\1/p' | head -n 1)
        [[ -n $package ]] && (cd "$scratch" && apt-get download -q "$package" >/dev/null 2>&1)
    }
    if ! fetch_kernel; then
        [[ $(id -u) -ne 0 ]] || apt-get update -qq
        fetch_kernel || { echo "guest_test: apt-get download linux-image-amd64's kernel failed" >&2; exit 1; }
    fi
    dpkg-deb -x "$scratch"/linux-image-*.deb "$scratch/kernel"
    moduledir=$(echo "$scratch"/kernel/lib/modules/*)
    mkdir -p "$cache/modules"
    order=()
    # Depth first, so that each module follows the ones it needs.
    add_module() {
        local name=$1 path
        for loaded in "${order[@]}"; do [[ $loaded == "$name.ko" ]] && return; done
        path=$(find "$moduledir/kernel" -name "$name.ko*" -print -quit)
        [[ -n $path ]] || { echo "guest_test: the kernel has no module $name" >&2; exit 1; }
        case $path in
        *.xz) xz -dc "$path" >"$cache/modules/$name.ko" ;;
        *.zst) zstd -qdc "$path" >"$cache/modules/$name.ko" ;;
        *) cp "$path" "$cache/modules/$name.ko" ;;
        esac
        local needs
        needs=$(strings "$cache/modules/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' ')
        for need in $needs; do add_module "${need//-/_}"; done
        order+=("$name.ko")
    }
    add_module evdev
    add_module uinput
    printf '%s\n' "${order[@]}" >"$cache/modules/order"
    cp "$scratch"/kernel/boot/vmlinuz-* "$kernel"
    rm -rf "$scratch/kernel" "$scratch"/*.deb
fi
flock -u 9

# The initramfs: busybox, the program with every library ldd names (and the loader), the
# modules and an init that runs the program and powers off.
root=$scratch/root
mkdir -p "$root"/{bin,proc,sys,dev,tmp,root,etc/default,modules,usr/share/X11}
cp "$busybox" "$root/bin/busybox"
for tool in sh mount insmod poweroff cat ls sleep grep ip; do ln -s busybox "$root/bin/$tool"; done
cp "$cache"/modules/* "$root/modules/"
copy_with_path() {
    mkdir -p "$root$(dirname "$1")"
    cp -L "$1" "$root$1"
}
# ZC_GUEST_PROGRAMS names more programs to take along, for a PROGRAM that is a shell.
for executable in "$program" ${ZC_GUEST_PROGRAMS:-}; do
    executable=$(readlink -f "$executable")
    copy_with_path "$executable"
    ldd "$executable" | grep -o '/[^ ]*' | while read -r library; do copy_with_path "$library"; done
done
cp -r /usr/share/X11/xkb "$root/usr/share/X11/xkb"
printf 'XKBMODEL="pc105"\nXKBLAYOUT="de"\nXKBVARIANT=""\nXKBOPTIONS=""\n' \
    >"$root/etc/default/keyboard"
# The initramfs itself is writable: no tmpfs on /tmp, which would hide a program built below it.
{
    echo '#!/bin/sh'
    echo 'mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev'
    echo 'for module in $(cat /modules/order); do insmod /modules/$module || echo "ZC-GUEST insmod $module failed"; done'
    # Loopback, for a program that talks to a server of its own over UDP or TCP.
    echo 'ip link set lo up'
    echo 'export HOME=/root LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen'
    for variable in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
        [[ -z ${!variable:-} ]] || printf 'export %s=%q\n' "$variable" "${!variable}"
    done
    printf '%q ' "$program" "$@"
    echo '</dev/null 2>&1'
    echo 'echo "ZC-GUEST-EXIT $?"'
    echo 'poweroff -f'
} >"$root/init"
chmod +x "$root/init"
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$scratch/initramfs.cpio"

# No KVM: the result must not depend on the host's. One CPU model that has every extension the
# host's libraries may pick at run time.
console=$scratch/console.log
status=0
timeout 240 qemu-system-x86_64 -nographic -no-reboot -m 512 -cpu max -smp 1 \
    -kernel "$kernel" -initrd "$scratch/initramfs.cpio" \
    -append "console=ttyS0 panic=-1 quiet" </dev/null >"$console" 2>&1 || status=$?
tr -d '\r' <"$console"
[[ $status -eq 0 ]] || { echo "guest_test: qemu ended with status $status" >&2; exit 1; }
result=$(tr -d '\r' <"$console" | sed -n 's/^ZC-GUEST-EXIT \([0-9]*\)$/\1/p' | tail -n 1)
[[ -n $result ]] || { echo "guest_test: the guest printed no result" >&2; exit 1; }
exit "$result"
