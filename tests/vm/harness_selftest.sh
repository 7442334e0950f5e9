#!/usr/bin/env bash
# Checks run-in-vm.sh itself, from the host: what goes in (arguments, environment, folders) and
# what comes back (output byte for byte, exit status, time-out). Three boots.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
harness="$here/run-in-vm.sh"
source "$here/checks.sh"

# Skipping is visible and needs no boot.
out="$(VM_QEMU=/nonexistent/qemu "$harness" -- true 2>&1)"
status=$?
if ((status == 77)) && [[ "$out" == SKIPPED:*qemu* ]]; then
    pass "a missing qemu skips with its reason (77)"
else
    fail "a missing qemu skips with its reason (77)" "status $status: $out"
fi

if ! reason="$("$harness" --check)"; then
    echo "$reason"
    exit 77
fi

# A space and a comma in the work folder's name test the quoting into qemu and the VM.
work="$(mktemp -d "${TMPDIR:-/tmp}/vm selftest,XXXXXX")"
trap 'rm -rf "$work"' EXIT

# ---- Boot 1: what the command sees and what comes back ----
cat >"$work/inside.sh" <<'EOF'
# Runs inside the VM: one line per fact, printed to stdout; binary bytes at the end.
printf 'args:'; printf ' [%s]' "$@"; printf '\n'
echo "env: $VM_SELFTEST_VALUE"
echo "asan: ${ASAN_OPTIONS:-unset} home: $HOME"
echo "cwd: $(pwd)"
if touch /usr/vm-selftest-probe 2>/dev/null; then echo "root: writable"; else echo "root: read-only"; fi
echo written >from-inside.txt && echo "work: writable"
for i in /sys/class/net/*; do
    [ "$(cat "$i/type")" = 280 ] && echo "can: ${i##*/} $(cat "$i/operstate") mtu $(cat "$i/mtu")"
done
echo "to stderr" >&2
printf '\000\001\377\r\n'
exit 3
EOF
args=("two words" "it's" 'a"b' '$HOME' "" "new
line" '*')
ASAN_OPTIONS=detect_leaks=1 "$harness" --workdir "$work" --env 'VM_SELFTEST_VALUE=x y $z' -- \
    bash "$work/inside.sh" "${args[@]}" >"$work/stdout" 2>"$work/stderr"
status=$?
if ((status == 3)); then pass "exit status comes back (3)"; else fail "exit status comes back (3)" "status $status; stderr: $(cat "$work/stderr")"; fi
expect_line() {  # expect_line NAME LINE: stdout holds this exact line
    if grep -qxF -- "$2" "$work/stdout"; then pass "$1"; else fail "$1" "wanted: $2
got: $(head -n 20 "$work/stdout")"; fi
}
expect_line "arguments keep spaces, quotes, \$ and empty words" \
    'args: [two words] [it'"'"'s] [a"b] [$HOME] [] [new'
expect_line "environment from --env" 'env: x y $z'
expect_line "sanitizer settings follow; HOME is /tmp" 'asan: detect_leaks=1 home: /tmp'
expect_line "runs in the work folder" "cwd: $work"
expect_line "host root is read-only" "root: read-only"
expect_line "work folder is writable" "work: writable"
expect_line "vcan0 is up" "can: vcan0 unknown mtu 72"
expect_line "vcan1 is up" "can: vcan1 unknown mtu 72"
if [[ "$(grep -c '^can:' "$work/stdout")" == 2 ]]; then pass "no other CAN interfaces"; else fail "no other CAN interfaces" "$(grep '^can:' "$work/stdout")"; fi
if [[ "$(cat "$work/from-inside.txt" 2>/dev/null)" == written ]]; then pass "a file written inside is on the host"; else fail "a file written inside is on the host"; fi
if [[ "$(tail -c 5 "$work/stdout" | od -An -tx1 | tr -d ' \n')" == 0001ff0d0a ]]; then pass "binary output comes back byte for byte"; else fail "binary output comes back byte for byte" "$(tail -c 5 "$work/stdout" | od -An -tx1)"; fi
if [[ "$(cat "$work/stderr")" == "to stderr" ]]; then pass "stderr comes back apart from stdout"; else fail "stderr comes back apart from stdout" "$(cat "$work/stderr")"; fi

# ---- Boot 2: one interface; a program that does not exist ----
"$harness" --vcan 1 --workdir "$work" -- sh -c 'ls /sys/class/net; exec /nonexistent/program' \
    >"$work/stdout" 2>"$work/stderr"
status=$?
if ((status == 127)); then pass "a missing program gives 127"; else fail "a missing program gives 127" "status $status: $(cat "$work/stderr")"; fi
if [[ "$(tr '\n' ' ' <"$work/stdout")" == "lo vcan0 " ]]; then pass "--vcan 1 gives vcan0 alone"; else fail "--vcan 1 gives vcan0 alone" "$(cat "$work/stdout")"; fi

# ---- Boot 3: the hard time limit ----
"$harness" --timeout 15 --workdir "$work" -- sh -c 'echo started; sleep 600' \
    >"$work/stdout" 2>"$work/stderr"
status=$?
if ((status == 124)); then pass "a run over its time limit ends with 124"; else fail "a run over its time limit ends with 124" "status $status: $(cat "$work/stderr")"; fi
if [[ "$(cat "$work/stdout")" == started ]]; then pass "output before the time-out comes back"; else fail "output before the time-out comes back" "$(cat "$work/stdout")"; fi

finish_checks
