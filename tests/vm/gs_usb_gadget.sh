#!/usr/bin/env bash
# A fake candleLight adapter inside the VM: a configfs gadget (1d50:606f) with one FunctionFS
# function, played by `canbus-host --gs-usb-gadget` and plugged into dummy_hcd. Needs root and
# the modules dummy_hcd, libcomposite and usb_f_fs (run-in-vm.sh --module ...).
#
#   gs_usb_gadget.sh up LOG CANBUS_HOST [OPTION...]   plugs it in: the device program (its
#       output in LOG, in the background; its pid on stdout) with the options given (e.g.
#       --join PORT, --gs-usb-fault bus-off:100); returns once the host has enumerated it, and
#       prints the USB port ("1-1") on a second line
#   gs_usb_gadget.sh down PID   unplugs it: unbinds the gadget, stops the program, unmounts
set -uo pipefail
gadget=/sys/kernel/config/usb_gadget/gs
ffs=/tmp/gs-usb-ffs

# Shell built-ins only where it loops: under tcg every program started costs about 0.1 s.
port_of() {  # the USB port of the plugged-in gadget, if enumerated
    local d vendor product
    for d in /sys/bus/usb/devices/*; do
        read -r vendor 2>/dev/null <"$d/idVendor" || continue
        read -r product <"$d/idProduct"
        [[ "$vendor:$product" == 1d50:606f ]] && { echo "${d##*/}"; return 0; }
    done
    return 1
}
exec {sleeper}<> <(:)  # read with a time-out on it: a sleep without starting a program
nap() { read -r -t 0.02 -u "$sleeper"; }
logged() {  # logged FILE TEXT: FILE has a line containing TEXT
    local line
    while IFS= read -r line; do
        [[ "$line" == *"$2"* ]] && return 0
    done <"$1"
    return 1
}
mounted() {  # mounted DIR
    local device dir rest
    while read -r device dir rest; do
        [[ "$dir" == "$1" ]] && return 0
    done </proc/mounts
    return 1
}

case "${1:-}" in
    up)
        log="$2" program="$3"
        shift 3
        mounted /sys/kernel/config || mount -t configfs none /sys/kernel/config || exit 1
        if [[ ! -d "$gadget" ]]; then
            mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1/strings/0x409" \
                "$gadget/functions/ffs.gs" || exit 1
            echo 0x1d50 >"$gadget/idVendor"
            echo 0x606f >"$gadget/idProduct"
            echo 0x0200 >"$gadget/bcdUSB"
            echo 0x0100 >"$gadget/bcdDevice"
            echo "bytewerk.org" >"$gadget/strings/0x409/manufacturer"
            echo "candleLight USB to CAN adapter" >"$gadget/strings/0x409/product"
            echo "004C00235734570920343835" >"$gadget/strings/0x409/serialnumber"
            echo "gs_usb" >"$gadget/configs/c.1/strings/0x409/configuration"
            ln -s "$gadget/functions/ffs.gs" "$gadget/configs/c.1/" || exit 1
        fi
        [[ -d "$ffs" ]] || mkdir -p "$ffs"
        mounted "$ffs" || mount -t functionfs gs "$ffs" || exit 1
        "$program" --gs-usb-gadget "$ffs" "$@" >"$log" 2>&1 &
        pid=$!
        echo "$pid"
        for ((i = 0; i < 200; i++)); do
            logged "$log" 'gs_usb gadget on' && break
            kill -0 "$pid" 2>/dev/null || { cat "$log" >&2; exit 1; }
            nap
        done
        udcs=(/sys/class/udc/*)
        # The UDC may still be busy with the previous gadget's unbinding for a moment.
        for ((i = 0; ; i++)); do
            echo "${udcs[0]##*/}" 2>/dev/null >"$gadget/UDC" && break
            ((i < 100)) || { echo "gs_usb_gadget.sh: the UDC stays busy" >&2; exit 1; }
            nap
        done
        for ((i = 0; i < 200; i++)); do
            port_of && exit 0
            nap
        done
        echo "gs_usb_gadget.sh: the host did not enumerate the gadget" >&2
        exit 1
        ;;
    down)
        [[ -e "$gadget/UDC" ]] && echo "" >"$gadget/UDC" 2>/dev/null
        kill "$2" 2>/dev/null
        wait "$2" 2>/dev/null
        for ((i = 0; i < 100; i++)); do
            kill -0 "$2" 2>/dev/null || break
            nap
        done
        umount "$ffs" 2>/dev/null
        exit 0
        ;;
    *)
        sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
        exit 2
        ;;
esac
