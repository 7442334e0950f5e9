#!/usr/bin/env bash
# Runs one command inside a small virtual machine whose kernel has CAN: the distribution's stock
# kernel (Debian's linux-image-amd64) booted under qemu with a busybox initramfs. Inside, the
# modules for vcan, CAN_RAW and J1939 are loaded, vcan0 (and vcan1) are up, the host's root is
# mounted read-only (so host-built programs and their libraries run unchanged) and a work folder
# is mounted read-write at its host path. The command runs as root in that folder, with the host's
# /bin/sh; its standard output and error come back on this script's, and its exit status is this
# script's exit status.
#
# Usage: run-in-vm.sh [OPTIONS] [--] COMMAND [ARGUMENT...]
#   --workdir DIR     folder mounted read-write (created if missing; default: a temporary folder,
#                     removed afterwards)
#   --vcan N          number of vcan interfaces, vcan0 .. vcan<N-1> (0 to 8, default 2)
#   --timeout S       hard limit for the whole VM run in seconds (default 600)
#   --memory MB       guest memory (default 768)
#   --cpus N          guest CPUs (default 2)
#   --env NAME=VALUE  set an environment variable for the command (repeatable); the command
#                     starts with a clean environment, plus ASAN_OPTIONS, UBSAN_OPTIONS and
#                     LSAN_OPTIONS when they are set here
#   --module NAME     load one more kernel module (and what it depends on), e.g. can-bcm
#   --share DIR       show this host folder inside as it is, wherever it lies (repeatable): the
#                     VM covers /tmp, /run and /dev with folders of its own, so a build or
#                     source folder there must be named (the script's project and the current
#                     folder always are)
#   --check           only check that a VM can be run here: 0 if it can, 77 with the reason if not
#   --verbose         show the kernel console (boot messages) on standard error afterwards
#
# Exit status: the command's own; 77 when this machine cannot run the VM (qemu, a static busybox
# or a kernel with vcan is missing; the reason is printed); 124 when the time limit was hit; 125
# when the VM failed before the command could report (the kernel console is shown).
#
# Environment: VM_QEMU (the qemu program), VM_KERNEL_VERSION (pick this kernel from /boot),
# VM_ACCEL (tcg or kvm; by default kvm only where the CPU shows vmx/svm and /dev/kvm is usable),
# XDG_CACHE_HOME (the uncompressed kernel is kept in ${XDG_CACHE_HOME:-$HOME/.cache}/vm-can).
#
# Packages (Debian 12): qemu-system-x86 busybox-static linux-image-amd64 tiny-initramfs xz-utils;
# can-utils for the CAN tools the tests use inside.
set -euo pipefail

readonly SKIP=77 TIMED_OUT=124 HARNESS_FAILED=125

workdir="" vcan_count=2 time_limit=600 memory_mb=768 cpus=2 check_only=0 verbose=0
extra_env=() extra_modules=() shared=()

die() {
    echo "run-in-vm: $*" >&2
    exit "$HARNESS_FAILED"
}
skip() {
    echo "SKIPPED: cannot run the kernel CAN VM here: $*"
    exit "$SKIP"
}
usage() {
    sed -n '/^# Usage/,/^# Environment/p' "$0" | sed 's/^# \{0,1\}//' | sed '$d'
}

while (($#)); do
    case "$1" in
        --workdir) workdir="${2:?--workdir needs a folder}"; shift 2 ;;
        --vcan) vcan_count="${2:?--vcan needs a number}"; shift 2 ;;
        --timeout) time_limit="${2:?--timeout needs seconds}"; shift 2 ;;
        --memory) memory_mb="${2:?--memory needs megabytes}"; shift 2 ;;
        --cpus) cpus="${2:?--cpus needs a number}"; shift 2 ;;
        --env) extra_env+=("${2:?--env needs NAME=VALUE}"); shift 2 ;;
        --module) extra_modules+=("${2:?--module needs a module name}"); shift 2 ;;
        --share) shared+=("${2:?--share needs a folder}"); shift 2 ;;
        --check) check_only=1; shift ;;
        --verbose) verbose=1; shift ;;
        -h | --help) usage; exit 0 ;;
        --) shift; break ;;
        -*) echo "run-in-vm: unknown option $1 (see --help)" >&2; exit 2 ;;
        *) break ;;
    esac
done

[[ "$vcan_count" =~ ^[0-8]$ ]] || { echo "run-in-vm: --vcan must be 0 to 8" >&2; exit 2; }
[[ "$time_limit" =~ ^[1-9][0-9]*$ ]] || { echo "run-in-vm: --timeout must be whole seconds" >&2; exit 2; }
[[ "$memory_mb" =~ ^[1-9][0-9]*$ ]] || { echo "run-in-vm: --memory must be megabytes" >&2; exit 2; }
[[ "$cpus" =~ ^[1-9][0-9]?$ ]] || { echo "run-in-vm: --cpus must be a number" >&2; exit 2; }
for pair in "${extra_env[@]}"; do
    [[ "$pair" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] || { echo "run-in-vm: bad --env $pair" >&2; exit 2; }
done
if ((!check_only && $# == 0)); then
    echo "run-in-vm: no command given (see --help)" >&2
    exit 2
fi

# ---- What this machine offers ----

qemu="${VM_QEMU:-$(command -v qemu-system-x86_64 || true)}"
[[ -n "$qemu" && -x "$qemu" ]] || skip "qemu-system-x86_64 not found (package qemu-system-x86)"

read_le() {  # read_le FILE OFFSET BYTES: an unsigned little-endian number
    od -An -tu"$3" -j "$2" -N "$3" "$1" | tr -d ' '
}

is_static_elf() {  # a 64-bit ELF program without a program interpreter (PT_INTERP)
    [[ "$(od -An -tx1 -N 5 "$1" 2>/dev/null | tr -d ' ')" == "7f454c4602" ]] || return 1
    local phoff phentsize phnum i
    phoff=$(read_le "$1" 32 8)
    phentsize=$(read_le "$1" 54 2)
    phnum=$(read_le "$1" 56 2)
    for ((i = 0; i < phnum; i++)); do
        (($(read_le "$1" $((phoff + i * phentsize)) 4) == 3)) && return 1
    done
    return 0
}

busybox=""
for candidate in /bin/busybox /usr/bin/busybox "$(command -v busybox || true)"; do
    # The initramfs has no C library, so only a statically linked busybox will do.
    if [[ -x "$candidate" ]] && is_static_elf "$candidate"; then
        busybox="$candidate"
        break
    fi
done
[[ -n "$busybox" ]] || skip "no statically linked busybox (package busybox-static)"
command -v xz >/dev/null || skip "xz not found (package xz-utils)"

# The newest installed kernel whose own modules include vcan. Its modules must match it exactly;
# the kernel this machine runs does not matter.
kernel_version=""
if [[ -n "${VM_KERNEL_VERSION:-}" ]]; then
    kernel_version="$VM_KERNEL_VERSION"
else
    while read -r candidate; do
        version="${candidate#/boot/vmlinuz-}"
        if [[ -f "/lib/modules/$version/modules.dep" ]] &&
            grep -q '/vcan\.ko' "/lib/modules/$version/modules.dep"; then
            kernel_version="$version"
        fi
    done < <(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V)
fi
[[ -n "$kernel_version" && -r "/boot/vmlinuz-$kernel_version" ]] ||
    skip "no kernel in /boot with vcan among its modules (package linux-image-amd64)"
modules_dir="/lib/modules/$kernel_version"
[[ -f "$modules_dir/modules.dep" ]] || skip "no modules.dep in $modules_dir"

accel="${VM_ACCEL:-}"
if [[ -z "$accel" ]]; then
    # /dev/kvm can exist without hardware virtualisation (a nested hypervisor that runs only
    # special guests): that path hangs, so KVM only where the CPU itself shows vmx or svm.
    if [[ -r /dev/kvm && -w /dev/kvm ]] && grep -qE '\b(vmx|svm)\b' /proc/cpuinfo; then
        accel=kvm
    else
        accel=tcg
    fi
fi

if ((check_only)); then
    echo "run-in-vm: can run kernel $kernel_version under $qemu ($accel)"
    exit 0
fi

# ---- The kernel, uncompressed once ----

# Booting the compressed bzImage costs seconds of decompression under emulation; the kernel can
# boot as a plain ELF through its PVH entry instead, so unpack it once and keep it.
vmlinuz="/boot/vmlinuz-$kernel_version"
cache_dir="${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/vm-can"
vmlinux="$cache_dir/vmlinux-$kernel_version-$(stat -c '%s-%Y' "$vmlinuz")"

unpack_kernel() {
    mkdir -p "$cache_dir" || die "cannot create $cache_dir"
    [[ "$(od -An -c -j 514 -N 4 "$vmlinuz" | tr -d ' ')" == "HdrS" ]] ||
        die "$vmlinuz is not a bzImage"
    # x86 boot protocol: the compressed payload follows the real-mode setup sectors.
    local setup_sects payload_offset payload_length start partial
    setup_sects=$(read_le "$vmlinuz" $((0x1f1)) 1)
    ((setup_sects == 0)) && setup_sects=4
    payload_offset=$(read_le "$vmlinuz" $((0x248)) 4)
    payload_length=$(read_le "$vmlinuz" $((0x24c)) 4)
    start=$(((setup_sects + 1) * 512 + payload_offset))
    [[ "$(od -An -tx1 -j "$start" -N 6 "$vmlinuz" | tr -d ' ')" == "fd377a585a00" ]] ||
        die "the kernel payload of $vmlinuz is not xz-compressed"
    partial="$(mktemp "$vmlinux.XXXXXX")"
    # The payload carries the uncompressed size after the xz stream: read one stream only.
    if ! dd if="$vmlinuz" bs=1M skip="$start" count="$payload_length" \
        iflag=skip_bytes,count_bytes status=none | xz -dc --single-stream >"$partial"; then
        rm -f "$partial"
        die "could not unpack $vmlinuz"
    fi
    if [[ "$(od -An -tx1 -N 4 "$partial" | tr -d ' ')" != "7f454c46" ]]; then
        rm -f "$partial"
        die "the unpacked $vmlinuz is not an ELF image"
    fi
    chmod 644 "$partial"
    mv -f "$partial" "$vmlinux"  # atomic: parallel runs never see half a file
}
[[ -s "$vmlinux" ]] || unpack_kernel

# ---- The initramfs ----

scratch="$(mktemp -d "${TMPDIR:-/tmp}/run-in-vm.XXXXXX")"
qemu_pid="" cat_pids=()
cleanup() {
    [[ -n "$qemu_pid" ]] && kill "$qemu_pid" 2>/dev/null
    ((${#cat_pids[@]})) && kill "${cat_pids[@]}" 2>/dev/null
    rm -rf "$scratch"
    [[ -n "${own_workdir:-}" ]] && rm -rf "$own_workdir"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ -z "$workdir" ]]; then
    own_workdir="$(mktemp -d "${TMPDIR:-/tmp}/run-in-vm-work.XXXXXX")"
    workdir="$own_workdir"
fi
mkdir -p "$workdir" || die "cannot create $workdir"
workdir="$(cd "$workdir" && pwd -P)"

root="$scratch/initramfs"
mkdir -p "$root/bin" "$root/lib/modules" "$root/proc" "$root/sys" "$root/dev" "$root/newroot"
cp "$busybox" "$root/bin/busybox"

# Modules in load order: each one after everything modules.dep says it needs.
declare -A module_path=() loaded=()
while IFS=: read -r path _; do
    base="${path##*/}"
    base="${base%.ko*}"
    module_path["${base//-/_}"]="$path"
done <"$modules_dir/modules.dep"
declare -A dependencies=()
while IFS=: read -r path deps; do
    dependencies["$path"]="$deps"
done <"$modules_dir/modules.dep"
load_order=()
add_module() {
    local path="$1" dep
    [[ -n "${loaded[$path]:-}" ]] && return 0
    loaded["$path"]=1
    for dep in ${dependencies[$path]}; do
        add_module "$dep"
    done
    load_order+=("$path")
}
for name in virtio_pci virtio_console 9pnet_virtio 9p can vcan can_raw can_j1939 \
    "${extra_modules[@]}"; do
    key="${name//-/_}"
    if [[ -n "${module_path[$key]:-}" ]]; then
        add_module "${module_path[$key]}"
    elif ! grep -q "/${name//[-_]/[-_]}\.ko" "$modules_dir/modules.builtin" 2>/dev/null; then
        skip "kernel $kernel_version has no module $name"
    fi
done
: >"$root/modules.list"
for path in "${load_order[@]}"; do
    file="${path##*/}"
    case "$file" in
        *.ko) cp "$modules_dir/$path" "$root/lib/modules/$file" ;;
        *.ko.xz) xz -dc "$modules_dir/$path" >"$root/lib/modules/${file%.xz}"; file="${file%.xz}" ;;
        *.ko.zst) zstd -qdc "$modules_dir/$path" >"$root/lib/modules/${file%.zst}"; file="${file%.zst}" ;;
        *.ko.gz) gzip -dc "$modules_dir/$path" >"$root/lib/modules/${file%.gz}"; file="${file%.gz}" ;;
        *) die "unknown module file $path" ;;
    esac
    echo "$file" >>"$root/modules.list"
done

shell_quote() {  # one word, quoted for any POSIX shell
    printf "'%s'" "${1//\'/\'\\\'\'}"
}

# The command as the host's /bin/sh runs it inside.
{
    printf 'cd %s || exit %d\n' "$(shell_quote "$workdir")" "$HARNESS_FAILED"
    printf 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n'
    printf 'export HOME=/tmp TMPDIR=/tmp LANG=C.UTF-8 TERM=dumb\n'
    # The sanitizers' settings follow the command into the VM, as they would follow any child.
    for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
        if [[ -n "${!name:-}" ]]; then
            printf 'export %s=%s\n' "$name" "$(shell_quote "${!name}")"
        fi
    done
    for pair in "${extra_env[@]}"; do
        printf 'export %s=%s\n' "${pair%%=*}" "$(shell_quote "${pair#*=}")"
    done
    printf 'exec'
    for word in "$@"; do
        printf ' %s' "$(shell_quote "$word")"
    done
    printf '\n'
} >"$root/command.sh"

{
    printf 'workdir=%s\n' "$(shell_quote "$workdir")"
    printf 'vcan_count=%d\n' "$vcan_count"
} >"$root/vm.conf"

# The project, the current folder and the shared folders stay visible inside even where they lie
# in /tmp, /run or /dev, which the VM covers with folders of its own (a fresh clone or a build
# folder in /tmp is a common case).
{
    (cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
    pwd -P
    for folder in "${shared[@]}"; do
        (cd "$folder" && pwd -P) || die "cannot share $folder: no such folder"
    done
} >"$root/keep.list"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
. /vm.conf

# Ends the VM with a status that the host reads from the second serial port.
finish() {
    echo "exit-status $1" >/dev/ttyS1
    sync
    reboot -f
}
fail() {
    echo "vm-init: $*" >/dev/console
    finish 125
}

for module in $(cat /modules.list); do
    insmod "/lib/modules/$module" || fail "cannot load $module"
done

ninep=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o "$ninep,cache=loose,ro" hostroot /newroot || fail "cannot mount the host root"
mkdir -p /host
mount -o bind /newroot /host
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mkdir -p /newroot/dev/shm /newroot/dev/pts
# What udev would add: process substitution in bash needs /dev/fd.
ln -sf /proc/self/fd /newroot/dev/fd
ln -sf /proc/self/fd/0 /newroot/dev/stdin
ln -sf /proc/self/fd/1 /newroot/dev/stdout
ln -sf /proc/self/fd/2 /newroot/dev/stderr
mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmp /newroot/tmp
mount -t tmpfs -o mode=755 run /newroot/run
# The folders to keep, from the host's root as it is below what the VM mounted over it.
while read -r path; do
    case "$path" in
        /tmp/* | /run/* | /dev/*)
            mkdir -p "/newroot$path"
            mount -o bind "/host$path" "/newroot$path" || fail "cannot show $path"
            ;;
    esac
done </keep.list
# Last, so that it may lie below one of the folders above (e.g. in /tmp).
mkdir -p "/newroot$workdir"
mount -t 9p -o "$ninep,cache=mmap" work "/newroot$workdir" || fail "cannot mount $workdir"

hostname vm
ip link set lo up || fail "cannot bring up lo"
i=0
while [ "$i" -lt "$vcan_count" ]; do
    ip link add dev "vcan$i" type vcan || fail "cannot create vcan$i"
    ip link set "vcan$i" up || fail "cannot bring up vcan$i"
    i=$((i + 1))
done

out="" err=""
for port in /sys/class/virtio-ports/*; do
    case "$(cat "$port/name")" in
        out) out="/dev/${port##*/}" ;;
        err) err="/dev/${port##*/}" ;;
    esac
done
[ -n "$out" ] && [ -n "$err" ] || fail "virtio-serial ports missing"

chroot /newroot /bin/sh -c "$(cat /command.sh)" </dev/null >"$out" 2>"$err"
finish $?
EOF
chmod +x "$root/init"

(cd "$root" && find . -print | "$busybox" cpio -o -H newc 2>/dev/null) >"$scratch/initramfs.cpio" ||
    die "cannot build the initramfs"

# ---- Run ----

# Output channels: the command's stdout and stderr through virtio-serial ports into pipes (the
# serial ports are slow for bulk output); its exit status through the second serial port; the
# kernel console through the first, into a file shown when something went wrong.
for channel in out err; do
    mkfifo "$scratch/$channel.in" "$scratch/$channel.out"
done
cat "$scratch/out.out" &
cat_pids+=($!)
cat "$scratch/err.out" >&2 &
cat_pids+=($!)

qemu_path() {  # a path inside a qemu option, where a comma must be doubled
    printf '%s' "${1//,/,,}"
}

kernel_args=(
    console=ttyS0 quiet panic=-1 rdinit=/init
    pci=noacpi lsm=capability audit=0 nowatchdog tsc=reliable no_timer_check mitigations=off
    i8042.noaux i8042.nokbd i8042.nopnp i8042.dumbkbd
)
qemu_args=(
    -nodefaults -no-user-config -display none -no-reboot
    -machine pc -accel "$accel" -smp "$cpus" -m "$memory_mb"
    -kernel "$vmlinux" -initrd "$scratch/initramfs.cpio" -append "${kernel_args[*]}"
    -serial "file:$(qemu_path "$scratch/console.log")"
    -serial "file:$(qemu_path "$scratch/status.log")"
    -device virtio-serial-pci,id=ports
    -chardev "pipe,id=out,path=$(qemu_path "$scratch/out")"
    -device virtserialport,bus=ports.0,chardev=out,name=out
    -chardev "pipe,id=err,path=$(qemu_path "$scratch/err")"
    -device virtserialport,bus=ports.0,chardev=err,name=err
    -fsdev "local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap"
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot
    -fsdev "local,id=work,path=$(qemu_path "$workdir"),security_model=none,multidevs=remap"
    -device virtio-9p-pci,fsdev=work,mount_tag=work
)
[[ "$accel" == kvm ]] && qemu_args+=(-cpu host)

timeout --kill-after=5 "$time_limit" "$qemu" "${qemu_args[@]}" </dev/null \
    2>"$scratch/qemu.log" &
qemu_pid=$!
set +e
wait "$qemu_pid"
qemu_status=$?
set -e
qemu_pid=""

# A reader still waiting for qemu to open its pipe (qemu failed early) is released by a writer
# that comes and goes; one that already reads sees the end of the output.
for channel in out err; do
    exec {release}<>"$scratch/$channel.out"
    exec {release}>&-
done
wait "${cat_pids[@]}" 2>/dev/null || true
cat_pids=()

show_console() {
    if [[ -s "$scratch/qemu.log" ]]; then
        echo "--- qemu said:" >&2
        cat "$scratch/qemu.log" >&2
    fi
    echo "--- kernel console (last 40 lines):" >&2
    tail -n 40 "$scratch/console.log" 2>/dev/null | tr -d '\r' >&2
}

((verbose)) && { echo "--- kernel console:" >&2; tr -d '\r' <"$scratch/console.log" >&2; }
if ((qemu_status == 124 || qemu_status == 137)); then
    echo "run-in-vm: the VM did not finish within $time_limit s" >&2
    ((verbose)) || show_console
    exit "$TIMED_OUT"
fi
status_line="$(tr -d '\r' <"$scratch/status.log" 2>/dev/null | grep -ao 'exit-status [0-9]*' | tail -n 1 || true)"
if [[ -z "$status_line" ]]; then
    echo "run-in-vm: the VM ended (qemu status $qemu_status) without the command's exit status" >&2
    ((verbose)) || show_console
    exit "$HARNESS_FAILED"
fi
status="${status_line#exit-status }"
if ((status == HARNESS_FAILED)) && grep -q 'vm-init:' "$scratch/console.log"; then
    ((verbose)) || show_console
fi
exit "$status"
