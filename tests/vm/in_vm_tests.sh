#!/usr/bin/env bash
# The kernel CAN tier, run inside the VM by run-in-vm.sh (vcan0 and vcan1 up, root, the host's
# root read-only, the working folder writable). Prints one line per check and a final
# "N passed, N failed" line; exit status 0 only when nothing failed.
#
# Usage: in_vm_tests.sh --loader=PROGRAM --sensor=PROGRAM --vci-tests=PROGRAM
#                       [--socketcan-tests=PROGRAM] [--canbus-host=PROGRAM]
#                       --source=PROJECT_FOLDER
# A part whose program is not given is reported as skipped.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/checks.sh"

loader="" sensor="" vci_tests="" socketcan_tests="" source_dir="" canbus_host=""
for argument in "$@"; do
    case "$argument" in
        --loader=*) loader="${argument#*=}" ;;
        --sensor=*) sensor="${argument#*=}" ;;
        --vci-tests=*) vci_tests="${argument#*=}" ;;
        --socketcan-tests=*) socketcan_tests="${argument#*=}" ;;
        --source=*) source_dir="${argument#*=}" ;;
        --canbus-host=*) canbus_host="${argument#*=}" ;;
        "") ;;
        *) echo "in_vm_tests.sh: unknown argument $argument" >&2; exit 2 ;;
    esac
done
if [[ ! -e /sys/class/net/vcan0 || "$(hostname)" != vm ]]; then
    echo "in_vm_tests.sh runs inside the VM: tests/vm/run-in-vm.sh -- $0 ..." >&2
    exit 2
fi
python=/usr/bin/python3
[[ -x "$python" ]] || python="$(command -v python3)"

tier="$PWD/tier"
rm -rf "$tier"
mkdir -p "$tier"
cd "$tier" || exit 2

# ---- Helpers ----

background_pids=()
stop_background() {
    local pid
    for pid in "${background_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${background_pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    background_pids=()
}
trap stop_background EXIT

can_interfaces() {  # the kernel's CAN interfaces, one line, sorted
    local i names=()
    for i in /sys/class/net/*; do
        [[ "$(cat "$i/type")" == 280 ]] && names+=("${i##*/}")
    done
    echo "${names[*]}"
}

# Records every frame on an interface from now on into FILE (candump -L). Returns once the
# recorder provably listens: it has seen one of the marker frames (identifier 7FF, no data) sent
# for that purpose, which the trace checks leave out. Sets candump_pid.
start_candump() {
    local interface="$1" file="$2" i
    candump -L "$interface" >"$file" 2>&1 &
    candump_pid=$!
    background_pids+=("$candump_pid")
    for ((i = 0; i < 100; i++)); do
        cansend "$interface" 7FF# || return 1
        sleep 0.05
        grep -q ' 7FF#' "$file" && return 0
    done
    echo "candump on $interface did not start"
    return 1
}
stop_candump() {
    kill -INT "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 0
}
# The frames of a candump -L record as ID#DATA lines, markers left out, in the order of their
# time stamps: with more than one CPU a listener may get frames of different senders in another
# order than they were sent, and the kernel stamps each frame when it is sent (check_trace.py).
frames_of() {
    sort -s -n -k1.2 "$1" | awk '$3 !~ /^7FF#/ { print $3 }'
}

wait_for() {  # wait_for FILE PATTERN SECONDS: until grep finds the pattern
    local deadline=$((SECONDS + $3))
    until grep -qE "$2" "$1" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

# run_tool INPUT OUTPUT ARGUMENT...: the tool with INPUT (printf format) on stdin; stdout into
# OUTPUT, stderr into OUTPUT.err. A generous time limit is only a safety net.
run_tool() {
    local input="$1" output="$2"
    shift 2
    printf -- "$input" | timeout 120 "$loader" "$@" >"$output" 2>"$output.err"
}

same_text() {  # same_text EXPECTED_FILE ACTUAL_FILE: byte for byte, with a diff when not
    if cmp -s "$1" "$2"; then
        return 0
    fi
    echo "expected (<) and printed (>) differ:"
    diff <(sed 's/\r/<CR>/g' "$1") <(sed 's/\r/<CR>/g' "$2")
    return 1
}

pattern_file() {  # pattern_file NAME N: N bytes 01 02 03 ... (wrapping), as the scenarios make
    "$python" -c 'import sys; open(sys.argv[1], "wb").write(bytes((i + 1) % 256 for i in range(int(sys.argv[2]))))' "$1" "$2"
}

header_text() {  # the tool's lines up to the CAN port, for FILE (SIZE bytes) at ADDRESS
    printf 'Korvane Algorithm Demo 2.2\n   File is %s bytes.\n   Firmware file is valid:\n     %s\n' "$2" "$1"
    printf '   Loading firmware into sensor on address: 0x%s.\n' "$3"
    [[ "$3" == 00 ]] && printf '   (Checking for previous sensor load that was incomplete.)\n'
    printf '   Opening and configuring CAN port.\n'
}
prompt_text() {  # the device prompt for the interfaces given
    local i=1 name
    printf 'CAN devices:\n'
    for name in "$@"; do
        printf '  %d  %-8s SocketCAN interface %s (index %s)\n' "$i" "$name" "$name" \
            "$(cat "/sys/class/net/$name/ifindex")"
        i=$((i + 1))
    done
    printf 'Choose a device (1-%d, Enter to cancel): ' "$#"
}
no_sensor_text() {  # a load that finds no sensor at the default address
    printf '   Starting firmware load.  This may take several minutes.\n'
    printf '      Claim address for this software.\n      Claim address for the bootloader.\n'
    printf '      Flush RX.\n      Checking for active bootloader.\n      Checking for sensor.\n'
    printf '\n*** ERROR: Flash programming failed.  Error = -1\n'
}
exit_text() {
    printf '\n--PRESS ENTER TO EXIT--\n'
}

# ---- 1. The kernel's CAN and the independent tools ----

check "the kernel's CAN interfaces are vcan0 and vcan1" \
    test "$(can_interfaces)" == "vcan0 vcan1"

check_send_and_dump() {
    local p0 p1
    start_candump vcan0 dump0.log || return 1
    p0=$candump_pid
    start_candump vcan1 dump1.log || return 1
    p1=$candump_pid
    cansend vcan0 18EFC300#E014000100000000 && cansend vcan0 123#R && cansend vcan1 0CEF00C3#01
    sleep 0.2
    stop_candump "$p0"
    stop_candump "$p1"
    test "$(frames_of dump0.log | tr '\n' ' ')" == "18EFC300#E014000100000000 123#R " &&
        test "$(frames_of dump1.log | tr '\n' ' ')" == "0CEF00C3#01 "
}
check "cansend and candump: frames go round on their own interface only" check_send_and_dump

# can-utils' address-claim daemon (J1939 sockets of the kernel) holds address 0 with a NAME that
# beats everyone's and answers a contending claim at once with its own.
check_j1939acd_defends() {
    local dump acd
    start_candump vcan0 acd.log || return 1
    dump=$candump_pid
    j1939acd -r 0 0000000000001000 vcan0 >j1939acd.out 2>&1 &
    acd=$!
    background_pids+=("$acd")
    wait_for acd.log ' 18EEFF00#0010000000000000' 10 || { echo "j1939acd never claimed 0"; cat acd.log; return 1; }
    cansend vcan0 18EEFF00#0000603700000080
    wait_for acd.log '18EEFF00#0000603700000080' 5 &&
        wait_for <(sed -n '/18EEFF00#0000603700000080/,$p' acd.log) '18EEFF00#0010000000000000' 5
    local status=$?
    kill "$acd"
    wait "$acd" 2>/dev/null
    stop_candump "$dump"
    ((status == 0)) || { echo "no defence of address 0:"; cat acd.log; }
    return "$status"
}
check "j1939acd claims address 0 and defends it against a higher NAME" check_j1939acd_defends

# ---- 2. The CAN library's SocketCAN code on a real kernel ----

run_gtest() {  # a GoogleTest program that must pass with nothing skipped
    "$1" --gtest_brief=1 >"$2" 2>&1
    local status=$?
    cat "$2"
    ((status == 0)) && ! grep -q '\[  SKIPPED \]' "$2"
}
if [[ -n "$socketcan_tests" ]]; then
    check "SocketCAN module tests on vcan0 and slcan (nothing skipped)" \
        run_gtest "$socketcan_tests" socketcan_tests.log
else
    skip_check "SocketCAN module tests on vcan0 and slcan" "no --socketcan-tests program"
fi

# ---- 3. The tool's device selection and controller step ----

if [[ -n "$loader" ]]; then
    pattern_file image16.bin 16

    # With two interfaces the operator chooses; anything but a listed number cancels.
    check_prompt_cancel() {
        local input="$1"
        {
            header_text image16.bin 16 C3
            prompt_text vcan0 vcan1
            [[ -z "$input" ]] && printf '\n'  # end of input: the prompt ends its line itself
            printf '*** ERROR: Could not open CAN port.  Error = E001000C\n'
            exit_text
        } >expected.txt
        run_tool "$input" printed.txt image16.bin && same_text expected.txt printed.txt
    }
    for input in '\n' '3\n\n' '0\n\n' 'vcan0\n\n' '-1\n\n' ''; do
        check "two interfaces: the device prompt; input '${input:-(end of input)}' cancels" \
            check_prompt_cancel "$input"
    done

    # A valid choice opens that interface (frames on it, none on the other); the controller step
    # succeeds on an interface without bit timing; without a sensor the load stops at stage 5.
    check_prompt_choice() {
        local p0 p1
        start_candump vcan0 choice0.log || return 1
        p0=$candump_pid
        start_candump vcan1 choice1.log || return 1
        p1=$candump_pid
        {
            header_text image16.bin 16 C3
            prompt_text vcan0 vcan1
            no_sensor_text
            exit_text
        } >expected.txt
        run_tool '2\n\n' printed.txt image16.bin
        local status=$?
        stop_candump "$p0"
        stop_candump "$p1"
        ((status == 0)) && same_text expected.txt printed.txt || return 1
        test -z "$(frames_of choice0.log)" || { echo "frames on vcan0:"; cat choice0.log; return 1; }
        test "$(frames_of choice1.log | head -n 4 | tr '\n' ' ')" == \
            "18EEFF00#0000603700000080 18EEFFB1#0000000000000080 00FFF2B1#56 18EFC300#E014000100000000 " ||
            { echo "frames on vcan1:"; cat choice1.log; return 1; }
    }
    check "two interfaces: choosing 2 loads over vcan1 (controller step on vcan succeeds)" \
        check_prompt_choice

    # One interface: opened by its identifier, no prompt.
    check_single_interface() {
        ip link del vcan1 || return 1
        {
            header_text image16.bin 16 C3
            no_sensor_text
            exit_text
        } >expected.txt
        run_tool '\n' printed.txt image16.bin
        local status=$?
        ip link add dev vcan1 type vcan && ip link set vcan1 up || return 1
        ((status == 0)) && same_text expected.txt printed.txt
    }
    check "one interface: no prompt, the load goes over vcan0" check_single_interface

    # A serial-line CAN adapter has real bit timing: the controller step sets 1000 kbit/s through
    # netlink and the driver hands "S8" (1000 kbit/s) and "O" (open) to the adapter. Whatever
    # state the interface is left in, the controller step makes it work, or, where it may not
    # change it, stops with its code and tells what to run.
    # check_controller_step SETUP AS: SETUP is what `ip link set IF` gets first ("" for the new
    # interface: no bit rate, down); AS "user" runs the tool without privilege.
    check_controller_step() {
        local setup="$1" as="$2"
        # The VM's init loads the module (run-in-vm.sh --module slcan): the modules of the
        # host's root do not match the VM's kernel.
        grep -q '^slcan ' /proc/modules || { echo "slcan is not loaded"; return 1; }
        exec {slcan_in}> >("$python" "$here/slcan_pty.py" adapter.bin >slcan.name)
        local interface="" i
        for ((i = 0; i < 100; i++)); do
            interface="$(cat slcan.name 2>/dev/null)"
            [[ -n "$interface" ]] && break
            sleep 0.05
        done
        [[ -n "$interface" ]] || { echo "no serial-line CAN interface"; exec {slcan_in}>&-; return 1; }
        if ! ip -d link show "$interface" | grep -qw 'bitrate 0'; then
            echo "the new interface has a bit rate already"
            exec {slcan_in}>&-
            return 1
        fi
        if [[ -n "$setup" ]] && ! ip link set "$interface" $setup; then
            exec {slcan_in}>&-
            return 1
        fi
        local interfaces=($(can_interfaces))
        local choice=0
        for i in "${!interfaces[@]}"; do
            [[ "${interfaces[$i]}" == "$interface" ]] && choice=$((i + 1))
        done
        {
            header_text image16.bin 16 C3
            prompt_text "${interfaces[@]}"
            if [[ "$as" != root ]]; then
                printf '*** ERROR: Unable to set bit rate.  Error = E0010010\n'
            else
                no_sensor_text
            fi
            exit_text
        } >expected.txt
        if [[ "$as" == user ]]; then
            printf -- "$choice\\n\\n" | timeout 120 setpriv --reuid=65534 --regid=65534 \
                --clear-groups -- "$loader" image16.bin >printed.txt 2>printed.txt.err
        else
            run_tool "$choice\\n\\n" printed.txt image16.bin
        fi
        local status=$?
        local details
        details="$(ip -d link show "$interface")"
        exec {slcan_in}>&-  # the helper removes the interface and ends
        for ((i = 0; i < 100; i++)); do
            [[ -e "/sys/class/net/$interface" ]] || break
            sleep 0.05
        done
        ((status == 0)) && same_text expected.txt printed.txt || return 1
        echo "$details"
        if [[ "$as" == user ]]; then
            cat printed.txt.err
            grep -qx "vci: $interface: to fix it, run: sudo ip link set $interface up" \
                printed.txt.err || return 1
            grep -q 'state UP' <<<"$details" && { echo "brought up without privilege"; return 1; }
            return 0
        fi
        if [[ "$as" == busy ]]; then  # up at another bit rate: someone's bus, left alone
            cat printed.txt.err
            grep -qx "vci: $interface: to fix it, run: sudo ip link set $interface down && sudo ip link set $interface up type can bitrate 1000000" \
                printed.txt.err || return 1
            grep -q 'bitrate 500000' <<<"$details" || { echo "bit rate changed"; return 1; }
            grep -q ',UP' <<<"$details" || { echo "taken down"; return 1; }
            return 0
        fi
        grep -q 'bitrate 1000000' <<<"$details" || { echo "bit rate not set"; return 1; }
        grep -q 'state UP' <<<"$details" || grep -q ',UP' <<<"$details" ||
            { echo "link not up"; return 1; }
        local sent
        sent="$(tr '\r' '\n' <adapter.bin)"
        echo "adapter got: $(head -n 5 <<<"$sent" | tr '\n' ' ')"
        grep -qx 'S8' <<<"$sent" && grep -qx 'O' <<<"$sent" &&
            grep -qx 'T18EEFF0080000603700000080' <<<"$sent"
    }
    check "serial-line CAN: the controller step sets 1000 kbit/s, the claim goes out" \
        check_controller_step "" root
    check "serial-line CAN at 1000 kbit/s but down: the controller step brings it up" \
        check_controller_step "type can bitrate 1000000" root
    check "serial-line CAN up at 500 kbit/s: left alone, the controller step fails and says what to run" \
        check_controller_step "up type can bitrate 500000" busy
    check "serial-line CAN down, no privilege: the controller step fails and says what to run" \
        check_controller_step "type can bitrate 1000000" user
else
    skip_check "the tool's device selection and controller step" "no --loader program"
fi

# ---- 4. Own frames through our CAN library (after section 3: it recreates vcan1) ----

if [[ -n "$vci_tests" ]]; then
    check "CAN library on the kernel: devices, own frames, losses (nothing skipped)" \
        run_gtest "$vci_tests" vci_tests.log
else
    skip_check "CAN library on the kernel" "no --vci-tests program"
fi

# ---- 5. Loads against sensor-sim served on vcan0 ----

# The scenarios of the virtual-bus tier, run unchanged on the kernel: sensor-sim on vcan0 and the
# tool finding vcan0 as its only CAN device (vcan1 is taken away for this part). Console, flash
# and bus trace are checked as on the virtual bus. Left out: the search through all 254
# addresses (a minute of claims; the address claim against an independent node is checked
# below with j1939acd).
end_to_end_scenarios=(
    worked_load empty_image one_block version_7_1_reboots resume_with_bootloader
    interrupted_load_resumed short_version_reply
    fail_bootloader_address_held fail_bootloader_already_active fail_no_sensor
    fail_bootloader_never_starts fail_version_not_answered fail_unknown_version
    fail_erase_not_acknowledged fail_begin_not_echoed fail_block_echoed_wrong
    fail_terminator_echoed_wrong fail_end_not_echoed
)

scenario_stdout() {  # the first [stdout] of a scenario file, as the tool must print it
    awk '/^\[stdout\]/ { on = 1; next } on && /^\[/ { exit } on && !/^#/ { print }' "$1" |
        sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' | sed 's/<CR>/\r/g'
}

sensor_pid=""
start_sensor() {  # start_sensor OPTION...: sensor-sim on vcan0, in the background, until ready
    coproc SENSOR { exec "$sensor" --socketcan vcan0 --flash-out sensor-flash.bin "$@" 2>&1; }
    sensor_pid=$SENSOR_PID
    background_pids+=("$sensor_pid")
    exec {sensor_out}<&"${SENSOR[0]}" {sensor_in}>&"${SENSOR[1]}"
    local line
    while IFS= read -r -t 20 line <&"$sensor_out"; do
        echo "$line" >>sensor.out
        [[ "$line" == *ready* ]] && return 0
    done
    echo "sensor-sim did not become ready:"
    cat sensor.out
    return 1
}
stop_sensor() {
    [[ -n "$sensor_pid" ]] || return 0
    echo quit >&"$sensor_in"
    cat <&"$sensor_out" >>sensor.out
    wait "$sensor_pid" 2>/dev/null
    exec {sensor_in}>&- {sensor_out}<&-
    sensor_pid=""
}

if [[ -n "$loader" && -n "$sensor" && -n "$source_dir" ]] && "$sensor" --help | grep -q -- --socketcan; then
    ip link del vcan1
    for name in "${end_to_end_scenarios[@]}"; do
        check "scenario $name on vcan0" \
            "$python" "$source_dir/tests/run_scenario.py" --socketcan vcan0 \
            --loader "$loader" --sensor "$sensor" "$source_dir/tests/end_to_end/$name.scenario"
    done

    # The worked load (16 bytes to 0xC3, bootloader 7.0), recorded by candump, frame by frame.
    check_worked_trace() {
        rm -f sensor.out sensor-flash.bin
        start_sensor || return 1
        start_candump vcan0 worked.log || return 1
        local dump=$candump_pid
        scenario_stdout "$source_dir/tests/end_to_end/worked_load.scenario" >expected.txt
        run_tool '\n' printed.txt image16.bin
        local status=$?
        sleep 0.1
        stop_candump "$dump"
        stop_sensor
        ((status == 0)) && same_text expected.txt printed.txt || return 1
        cmp image16.bin sensor-flash.bin || { echo "flash differs from the image"; return 1; }
        "$python" "$here/check_trace.py" worked.log "$here/worked_trace.txt" ||
            { cat worked.log; return 1; }
    }
    check "candump record of the worked load: every identifier, length and data" \
        check_worked_trace

    # An independent J1939 node (can-utils' j1939acd on the kernel's J1939 sockets) holds
    # address 0 with a NAME below the tool's: the tool loses 0, claims 1 and loads from there.
    # Its NAME is below both of the tool's (8000000037600000, and 8000000000000000 for 0xB1).
    acd_name=000000002A600000
    acd_bytes=0000602A00000000  # the same, least significant byte first
    start_j1939acd() {  # start_j1939acd ADDRESS RECORD: until its claim is on the bus
        j1939acd -r "$1" "$acd_name" vcan0 >j1939acd.out 2>&1 &
        acd_pid=$!
        background_pids+=("$acd_pid")
        wait_for "$2" "#$acd_bytes\$" 10 || { echo "j1939acd did not claim $1"; cat "$2"; return 1; }
    }
    stop_j1939acd() {
        kill "$acd_pid" 2>/dev/null
        wait "$acd_pid" 2>/dev/null
        return 0
    }
    check_contender_at_0() {
        rm -f sensor.out sensor-flash.bin
        start_sensor || return 1
        start_candump vcan0 acd0.log || return 1
        local dump=$candump_pid
        start_j1939acd 0 acd0.log || return 1
        local from
        from=$(wc -l <acd0.log)
        scenario_stdout "$source_dir/tests/end_to_end/worked_load.scenario" >expected.txt
        run_tool '\n' printed.txt image16.bin
        local status=$?
        sleep 0.1
        stop_candump "$dump"
        stop_j1939acd
        stop_sensor
        ((status == 0)) && same_text expected.txt printed.txt || return 1
        cmp image16.bin sensor-flash.bin || { echo "flash differs from the image"; return 1; }
        {
            # the tool's claim of 0, the holder's answer, the claim of 1; source 1 from then on
            printf '%s\n' 18EEFF00#0000603700000080 "18EEFF00#$acd_bytes" \
                18EEFF01#0000603700000080 18EEFFB1#0000000000000080 00FFF2B1#56 \
                18EFC301#E014000100000000 03FFFFFF/00EF01C3#* 18EFC301#F0FFFF80424F4F54
            sed -n '/^00FFF2B1#56+$/,$p' "$here/worked_trace.txt"
        } >acd0.expected
        tail -n +$((from + 1)) acd0.log >acd0.load.log
        "$python" "$here/check_trace.py" acd0.load.log acd0.expected || { cat acd0.log; return 1; }
    }
    check "j1939acd holds address 0: the tool claims 1 and loads with source address 1" \
        check_contender_at_0

    # The same node holding 0xB1: the bootloader's address is lost, -12.
    check_contender_at_b1() {
        start_candump vcan0 acdb1.log || return 1
        local dump=$candump_pid
        start_j1939acd 177 acdb1.log || return 1
        local from
        from=$(wc -l <acdb1.log)
        scenario_stdout "$source_dir/tests/end_to_end/fail_bootloader_address_held.scenario" \
            >expected.txt
        run_tool '\n' printed.txt image16.bin
        local status=$?
        sleep 0.1
        stop_candump "$dump"
        stop_j1939acd
        ((status == 0)) && same_text expected.txt printed.txt || return 1
        printf '%s\n' 18EEFF00#0000603700000080 18EEFFB1#0000000000000080 \
            "18EEFFB1#$acd_bytes" >acdb1.expected
        tail -n +$((from + 1)) acdb1.log >acdb1.load.log
        "$python" "$here/check_trace.py" acdb1.load.log acdb1.expected || { cat acdb1.log; return 1; }
    }
    check "j1939acd holds 0xB1: the tool reports Error = -12" check_contender_at_b1

    ip link add dev vcan1 type vcan && ip link set vcan1 up
else
    skip_check "loads against sensor-sim on vcan0" "needs --loader, --source and a sensor-sim with --socketcan"
fi

# ---- 6. The kernel's SLCAN driver on canbus-host's serial-line adapter ----

# sensor-sim hosts a virtual bus, canbus-host puts an SLCAN adapter on a pseudo terminal on it,
# the kernel's slcan line discipline drives that adapter as slcanN, and the tool, finding slcanN
# as its only CAN device, loads through SocketCAN: two independent SLCAN sides meet.
check_kernel_driver_on_adapter() {
    local hidden=29600 interface="" i status
    rm -f sensor.out sensor-flash.bin
    coproc SIM { exec "$sensor" --port "$hidden" --flash-out sensor-flash.bin 2>&1; }
    local sim_pid=$SIM_PID
    background_pids+=("$sim_pid")
    exec {sim_out}<&"${SIM[0]}" {sim_in}>&"${SIM[1]}"
    local line
    while IFS= read -r -t 20 line <&"$sim_out" && [[ "$line" != *ready* ]]; do :; done
    [[ "$line" == *ready* ]] || { echo "sensor-sim did not become ready"; return 1; }
    "$canbus_host" --join "$hidden" --slcan-pty "$tier/slcanpty" >adapter.out 2>&1 &
    background_pids+=("$!")
    wait_for adapter.out joined 10 || { echo "no adapter:"; cat adapter.out; return 1; }
    exec {attach_in}> >("$python" "$here/slcan_pty.py" --attach "$tier/slcanpty" >attach.name)
    for ((i = 0; i < 100; i++)); do
        interface="$(cat attach.name 2>/dev/null)"
        [[ -n "$interface" ]] && break
        sleep 0.05
    done
    [[ -n "$interface" ]] || { echo "the driver did not attach"; exec {attach_in}>&-; return 1; }
    # The terminal named to our library as well: refused at the controller step, not touched.
    { header_text image16.bin 16 C3; printf '*** ERROR: Unable to set bit rate.  Error = E001000D\n'
      exit_text; } >expected.txt
    KORVANE_SLCAN_PORTS="$tier/slcanpty" KORVANE_DEVICE=slcanpty run_tool '\n' printed.txt image16.bin
    same_text expected.txt printed.txt && grep -q "slcanpty: in use by the kernel (line discipline 17" \
        printed.txt.err || { cat printed.txt.err; exec {attach_in}>&- {sim_in}>&-; return 1; }
    scenario_stdout "$source_dir/tests/end_to_end/worked_load.scenario" >expected.txt
    run_tool '\n' printed.txt image16.bin
    status=$?
    echo flash sensor-flash.bin >&"$sim_in"
    sleep 0.3
    exec {attach_in}>&- {sim_in}>&-
    cat adapter.out
    ((status == 0)) && same_text expected.txt printed.txt || return 1
    cmp image16.bin sensor-flash.bin || { echo "flash differs from the image"; return 1; }
}
if [[ -n "$loader" && -n "$sensor" && -n "$canbus_host" && -n "$source_dir" ]]; then
    # vcan0 and vcan1 are moved out of sight into a namespace of their own that lives to the
    # end, not deleted: once j1939acd has used vcan0, this kernel may keep a reference to it
    # for ever, and deleting it would then wait for ever.
    unshare -n sleep infinity </dev/null >/dev/null 2>&1 &
    parking=$!
    # Until unshare has made the namespace, the pid's is still ours (a loaded machine is slow).
    for ((i = 0; i < 200; i++)); do
        [[ "$(readlink "/proc/$parking/ns/net")" != "$(readlink /proc/self/ns/net)" ]] && break
        sleep 0.05
    done
    ip link set vcan0 netns "$parking" && ip link set vcan1 netns "$parking"
    check "the kernel's slcan driver on canbus-host --slcan-pty: the port refused to our SLCAN backend, the worked load over slcanN" \
        check_kernel_driver_on_adapter
    stop_background
else
    skip_check "the kernel's slcan driver on canbus-host's adapter" "needs --canbus-host"
fi

# ---- 7. A candleLight adapter (gs_usb) on dummy_hcd, played by canbus-host --gs-usb-gadget ----

# The gadget joins a bus that sensor-sim hosts on a port of its own (gs_usb_gadget.sh plugs it
# in). First the kernel's own gs_usb driver on it, an independent host: can0 at 1000 kbit/s and
# the worked load through SocketCAN; then a bus-off that the adapter reports, seen by the kernel
# driver. Then our CAN library's gs_usb backend on the same device: taken from the driver while
# can0 is down, then with the driver unloaded.
gadget_pid=""
# In the guest's /tmp: over 9p, a file that another guest process appends to may read short.
gadget_log=/tmp/gs-usb-gadget.log
gadget_up() {  # gadget_up [CANBUS_HOST_OPTION...]: joins the bus of start_hidden_sensor
    local lines
    lines="$("$here/gs_usb_gadget.sh" up "$gadget_log" "$canbus_host" --join 29600 "$@")" ||
        { echo "$lines"; cat "$gadget_log"; return 1; }
    gadget_pid="$(head -n 1 <<<"$lines")"
    gadget_port="$(tail -n 1 <<<"$lines")"
}
gadget_down() {
    [[ -n "$gadget_pid" ]] && "$here/gs_usb_gadget.sh" down "$gadget_pid"
    gadget_pid=""
}
start_hidden_sensor() {  # sensor-sim hosting the bus on 29600 (outside the library's range)
    rm -f sensor-flash.bin hidden.out
    exec {hidden_in}> >(exec "$sensor" --port 29600 --flash-out sensor-flash.bin "$@" \
        >hidden.out 2>&1)
    hidden_pid=$!
    wait_for hidden.out ready 20 || { echo "sensor-sim did not become ready"; cat hidden.out; return 1; }
}
stop_hidden_sensor() {  # writes the flash out first
    echo flash sensor-flash.bin >&"$hidden_in"
    echo quit >&"$hidden_in"
    exec {hidden_in}>&-
    local i
    for ((i = 0; i < 100; i++)); do
        kill -0 "$hidden_pid" 2>/dev/null || return 0
        sleep 0.05
    done
}
# gadget_case "SENSOR_OPTIONS" "GADGET_OPTIONS" FUNCTION: FUNCTION with sensor-sim and the gadget
# on its bus, both stopped afterwards whatever FUNCTION returns.
gadget_case() {
    start_hidden_sensor $1 || return 1
    gadget_up $2 || { stop_hidden_sensor; return 1; }
    $3
    local status=$?
    stop_hidden_sensor
    gadget_down
    cp "$gadget_log" gadget.log
    cat gadget.log
    return "$status"
}
wait_for_file() {  # wait_for_file PATH SECONDS
    local i
    for ((i = 0; i < $2 * 20; i++)); do
        [[ -e "$1" ]] && return 0
        sleep 0.05
    done
    echo "$1 did not appear"
    return 1
}
worked_load_matches() {  # the last run_tool printed the worked load, and the flash holds it
    scenario_stdout "$source_dir/tests/end_to_end/worked_load.scenario" >expected.txt
    same_text expected.txt printed.txt || return 1
    echo flash sensor-flash.bin >&"$hidden_in"
    sleep 0.2
    cmp image16.bin sensor-flash.bin || { echo "flash differs from the image"; return 1; }
}

kernel_worked_load() {
    modprobe gs_usb && wait_for_file /sys/class/net/can0 10 || return 1
    ip link set can0 up type can bitrate 1000000 || return 1
    run_tool '\n' printed.txt image16.bin || return 1
    worked_load_matches || return 1
    # The kernel's own timing for 1000 kbit/s at 48 MHz reached the adapter.
    grep -q 'bit timing prop 5 phase1 6 phase2 4 sjw 1 brp 3' "$gadget_log"
}

# The adapter reports bus-off at its 9th frame and stays off: the load fails, the kernel driver
# holds the state; the next load's controller step restarts can0 (down and up: gs_usb cannot
# restart) and gets past it, and stderr names bus-off.
kernel_bus_off() {
    wait_for_file /sys/class/net/can0 10 && ip link set can0 up type can bitrate 1000000 ||
        return 1
    run_tool '\n' printed.txt image16.bin
    cat printed.txt printed.txt.err
    local state
    state="$(ip -d link show can0)"
    echo "after the first load: $state"
    grep -q 'state BUS-OFF' <<<"$state" || { echo "can0 is not bus-off"; return 1; }
    run_tool '\n' printed2.txt image16.bin || return 1
    cat printed2.txt printed2.txt.err
    grep -q 'Starting firmware load' printed2.txt || { echo "the controller step failed"; return 1; }
    grep -q 'can0: bus-off' printed.txt.err printed2.txt.err || { echo "bus-off not named"; return 1; }
    ip -d link show can0 | grep -q 'state ERROR-ACTIVE'
}

# can0 down, the driver loaded: our backend lists the adapter instead of can0, takes it from the
# driver for the load (USBDEVFS_DISCONNECT_CLAIM) and gives it back: can0 is there again.
taken_from_driver() {
    wait_for_file /sys/class/net/can0 10 || return 1
    run_tool '\n' printed.txt image16.bin || return 1
    cat printed.txt.err
    worked_load_matches && wait_for_file /sys/class/net/can0 5
}

# Stopped mid-stream by a signal while our backend has the adapter: it is the kernel driver's
# again afterwards. SIGINT and SIGTERM: the library gives it back before the process ends;
# SIGKILL: nothing can, and the next run (here one that only lists the devices) gives it back.
stopped_mid_stream() {  # stopped_mid_stream SIGNAL
    wait_for_file /sys/class/net/can0 10 || return 1
    pattern_file image64k.bin 65536
    printf '\n' | "$loader" image64k.bin >stopped.txt 2>stopped.txt.err &  # $! is the loader
    local pid=$! i
    for ((i = 0; i < 600; i++)); do
        grep -q 'Sending data' stopped.txt && break
        sleep 0.05
    done
    grep -q 'Sending data' stopped.txt || { kill -9 "$pid"; cat stopped.txt*; return 1; }
    [[ ! -e /sys/class/net/can0 ]] || { echo "can0 stayed while the load had the adapter"; return 1; }
    kill -"$1" "$pid"
    wait "$pid"
    cat stopped.txt.err
    if [[ "$1" == KILL ]]; then
        sleep 0.5
        [[ ! -e /sys/class/net/can0 ]] || { echo "can0 came back without a next run"; return 1; }
        KORVANE_DEVICE=none run_tool '' listed.txt image16.bin
        cat listed.txt.err
    fi
    wait_for_file /sys/class/net/can0 5
}

# Our backend: the scenarios through the adapter (sensor-sim per scenario, the gadget plugged in
# for each), console byte for byte and flash compared.
gs_usb_scenarios=(
    worked_load interrupted_load_resumed fail_version_not_answered fail_block_echoed_wrong
    fail_erase_not_acknowledged
)

# Pulled out at the 100th frame it was given, well into the stream of a 4 KiB image (the frames
# before the stream are about a dozen; how many "V"s the bootloader takes varies): the data
# stream fails with its code, the tool ends cleanly and says the device went.
pulled_out() {
    pattern_file image4k.bin 4096
    run_tool '\n' printed.txt image4k.bin || return 1
    cat printed.txt printed.txt.err
    grep -q 'pulled out after 100 frames' "$gadget_log" &&
        grep -q 'Sending data: [1-9][0-9]* of 4096 bytes' printed.txt &&
        grep -qx '\*\*\* ERROR: Flash programming failed.  Error = -7' printed.txt &&
        grep -q 'No such device' printed.txt.err
}

# As on a machine with the package installed, for a user that is not root: udevd (the
# distribution's rules and the package's) applies the rule when the adapter is plugged in, and
# loads the kernel's gs_usb driver for it. can0 stays down, so our backend takes the adapter from
# the driver for the load and gives it back. The user is in plugdev, the rule's group; uaccess
# needs a login seat, which the VM has not, so of it only the tag is checked.
udevd_case() {
    mkdir -p /run/udev/rules.d
    cp "$source_dir/packaging/udev/70-korvane-gs-usb.rules" /run/udev/rules.d/ || return 1
    /lib/systemd/systemd-udevd --daemon || return 1
    udevadm control --ping --timeout=10 || return 1
    gadget_case "" "" worked_load_as_plugdev_user
    local status=$?
    udevadm control --exit
    rmmod gs_usb 2>/dev/null
    return "$status"
}
worked_load_as_plugdev_user() {
    local node plugdev
    udevadm settle --timeout=30 || return 1
    node="$(printf '/dev/bus/usb/%03d/%03d' "$(cat "/sys/bus/usb/devices/$gadget_port/busnum")" \
        "$(cat "/sys/bus/usb/devices/$gadget_port/devnum")")"
    [[ "$(stat -c '%G %a' "$node")" == "plugdev 660" ]] ||
        { echo "udev did not apply the rule: $(stat -c '%U:%G %a' "$node")"; return 1; }
    udevadm info "$node" | grep -q '^E: TAGS=.*:uaccess:' || { echo "no uaccess tag"; return 1; }
    wait_for_file /sys/class/net/can0 10 || { echo "udev loaded no gs_usb driver"; return 1; }
    plugdev="$(getent group plugdev | cut -d: -f3)"
    printf '\n' | timeout 120 setpriv --reuid=65534 --regid=65534 --groups="$plugdev" -- \
        "$loader" image16.bin >printed.txt 2>printed.txt.err || return 1
    cat printed.txt.err
    worked_load_matches && wait_for_file /sys/class/net/can0 5
}

# An adapter that echoes nothing: the frames reach the bus, but the tool never gets the copy
# that says the adapter took them, so the first stage that waits for one fails.
no_echo_fails() {
    run_tool '\n' printed.txt image16.bin || return 1
    cat printed.txt printed.txt.err
    grep -qE '^\*\*\* ERROR: .*Error = ' printed.txt && grep -q 'has not echoed' printed.txt.err
}

# Error-passive at the 5th frame, bus-off at the 9th: our backend names both on stderr.
bus_state_named() {
    run_tool '\n' printed.txt image16.bin || return 1
    cat printed.txt printed.txt.err
    grep -q "vci: gsusb-$gadget_port: error-passive" printed.txt.err &&
        grep -q "vci: gsusb-$gadget_port: bus-off" printed.txt.err
}

if [[ -n "$loader" && -n "$sensor" && -n "$canbus_host" && -n "$source_dir" ]] &&
    [[ -d /sys/module/dummy_hcd && -d /sys/module/usb_f_fs ]]; then
    check "the kernel's gs_usb driver on canbus-host --gs-usb-gadget: can0 at 1000 kbit/s, the worked load" \
        gadget_case "" "" kernel_worked_load
    check "gs_usb bus-off through the kernel driver: named on stderr, the next load's controller step restarts can0" \
        gadget_case "" "--gs-usb-fault bus-off:9" kernel_bus_off
    check "can0 down: our gs_usb backend takes the adapter from the kernel driver for the worked load and gives it back" \
        gadget_case "" "" taken_from_driver
    for signal in INT TERM KILL; do
        check "gs_usb adapter taken from the kernel driver, the loader stopped by SIG$signal mid-stream: can0 is there again" \
            gadget_case "" "" "stopped_mid_stream $signal"
    done
    rmmod gs_usb
    for name in "${gs_usb_scenarios[@]}"; do
        check "scenario $name through our gs_usb backend" \
            "$python" "$source_dir/tests/run_scenario.py" --gs-usb "$here/gs_usb_gadget.sh" \
            --canbus-host "$canbus_host" --loader "$loader" --sensor "$sensor" \
            "$source_dir/tests/end_to_end/$name.scenario"
    done
    check "gs_usb adapter pulled out mid-stream: the stage fails, the tool ends cleanly" \
        gadget_case "" "--gs-usb-fault pull:100" pulled_out
    check "gs_usb error-passive and bus-off reported by the adapter: our backend names them" \
        gadget_case "" "--gs-usb-fault passive:5 --gs-usb-fault bus-off:9" bus_state_named
    check "gs_usb adapter that echoes nothing: the stage fails with its code, stderr says why" \
        gadget_case "" "--gs-usb-fault no-echo" no_echo_fails
    if [[ -x /lib/systemd/systemd-udevd ]]; then
        check "gs_usb plugged in under udevd: the package's rule applied, a plugdev user loads through our backend (taken from the kernel driver udev loaded)" \
            udevd_case
    else
        skip_check "gs_usb plugged in under udevd" "needs Debian's udev"
    fi
    stop_background
else
    skip_check "gs_usb adapter on dummy_hcd" "needs --canbus-host and the modules dummy_hcd, libcomposite, usb_f_fs"
fi

finish_checks
